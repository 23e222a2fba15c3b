#ifndef BASE_NEX_EXCEPTION_H
#define BASE_NEX_EXCEPTION_H

#include "base/base_Export.h"
#include "base/cls_Uid.h"
#include "base/cow_String.h"

#include <exception>

class aio_ostream;

// Base of the host's exceptions. Throw records where it was raised and throws the
// object as its dynamic type: every concrete class overrides Propagate with
// `throw *this;` and Copy with a copy of itself.
class QORKEL_API nex_Exception : public std::exception {
public:
    nex_Exception();
    nex_Exception(const nex_Exception& other);
    nex_Exception& operator=(const nex_Exception& other);
    ~nex_Exception() override;

    [[noreturn]] void Throw(const char* sourceFile, int sourceLine);

    virtual cow_String DeveloperReport() const;
    virtual cow_String UserReport() const;
    virtual cow_String AsString() const;
    [[noreturn]] virtual void Propagate() const;
    virtual nex_Exception* Copy() const;
    virtual const char* DynTypeId() const;
    virtual void DBWrite(aio_ostream& stream) const;

    const char* what() const noexcept override;

    const char* SourceFile() const { return sourceFile; }
    int SourceLine() const { return sourceLine; }
    const cls_Uid& Uid() const { return uid; }

private:
    cls_Uid uid;
    const char* sourceFile = "";
    int sourceLine = 0;
    mutable cow_String whatText;
};

#endif
