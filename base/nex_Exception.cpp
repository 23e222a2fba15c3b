#include "base/nex_Exception.h"

#include "base/aio_ostream.h"

nex_Exception::nex_Exception() = default;

nex_Exception::nex_Exception(const nex_Exception& other)
    : std::exception(other), sourceFile(other.sourceFile), sourceLine(other.sourceLine) {}

nex_Exception& nex_Exception::operator=(const nex_Exception& other) {
    sourceFile = other.sourceFile;
    sourceLine = other.sourceLine;
    return *this;
}

nex_Exception::~nex_Exception() = default;

void nex_Exception::Throw(const char* file, int line) {
    sourceFile = file ? file : "";
    sourceLine = line;
    Propagate();
    throw *this; // only if an override forgot to throw
}

cow_String nex_Exception::DeveloperReport() const {
    cow_String report(AsString());
    report.append(" (raised at ");
    report.append(sourceFile);
    report.append(":");
    report.append(cow_String(sourceLine));
    report.append(")");
    return report;
}

cow_String nex_Exception::UserReport() const {
    return AsString();
}

cow_String nex_Exception::AsString() const {
    return cow_String(DynTypeId());
}

void nex_Exception::Propagate() const {
    throw *this;
}

nex_Exception* nex_Exception::Copy() const {
    return new nex_Exception(*this);
}

const char* nex_Exception::DynTypeId() const {
    return "nex_Exception";
}

void nex_Exception::DBWrite(aio_ostream& stream) const {
    stream << DeveloperReport();
    stream.put('\n');
}

const char* nex_Exception::what() const noexcept {
    try {
        whatText = AsString();
        return whatText.c_str();
    } catch (...) {
        return "nex_Exception";
    }
}
