#ifndef BASE_NEX_TEXTEXCEPTION_H
#define BASE_NEX_TEXTEXCEPTION_H

#include "base/base_Export.h"
#include "base/nex_Exception.h"

// An exception that carries a text.
class QORKEL_API nex_TextException : public nex_Exception {
public:
    explicit nex_TextException(const cow_String& text);
    ~nex_TextException() override;

    const cow_String& Text() const { return text; }

    cow_String DeveloperReport() const override;
    cow_String UserReport() const override;
    cow_String AsString() const override;
    [[noreturn]] void Propagate() const override;
    nex_Exception* Copy() const override;
    const char* DynTypeId() const override;
    void DBWrite(aio_ostream& stream) const override;

private:
    cls_Uid uid;
    cow_String text;
};

#endif
