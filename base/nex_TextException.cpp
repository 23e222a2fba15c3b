#include "base/nex_TextException.h"

#include "base/aio_ostream.h"

nex_TextException::nex_TextException(const cow_String& text) : text(text) {}

nex_TextException::~nex_TextException() = default;

cow_String nex_TextException::DeveloperReport() const {
    return nex_Exception::DeveloperReport();
}

cow_String nex_TextException::UserReport() const {
    return text;
}

cow_String nex_TextException::AsString() const {
    return text;
}

void nex_TextException::Propagate() const {
    throw *this;
}

nex_Exception* nex_TextException::Copy() const {
    return new nex_TextException(*this);
}

const char* nex_TextException::DynTypeId() const {
    return "nex_TextException";
}

void nex_TextException::DBWrite(aio_ostream& stream) const {
    nex_Exception::DBWrite(stream);
}
