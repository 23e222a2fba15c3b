#ifndef JCL_JCL_BASE64_H
#define JCL_JCL_BASE64_H

#include <string>

// The base64 of SASL exchanges: the standard alphabet with padding, no line breaks.
class jcl_Base64 {
public:
    static std::string Encode(const std::string& bytes);
    // Strict: anything but whole padded groups of the alphabet (white space included) is
    // refused, so that two readings of one text cannot differ.
    static bool Decode(const std::string& text, std::string& bytes);
};

#endif
