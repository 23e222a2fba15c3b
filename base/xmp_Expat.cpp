#include "base/xmp_Expat.h"

XML_Parser xmp_XML_ParserCreate(const XML_Char* encoding) {
    XML_Parser parser = XML_ParserCreate(encoding);
#if defined(QORKEL_HAVE_REPARSE_DEFERRAL)
    // Deferral holds back a token split across small feeds until more data comes;
    // on a live stream the rest may never come, and the stanza would never end.
    if (parser != nullptr)
        XML_SetReparseDeferralEnabled(parser, XML_FALSE);
#endif
    return parser;
}

void xmp_XML_SetUserData(XML_Parser parser, void* userData) {
    XML_SetUserData(parser, userData);
}

void xmp_XML_SetElementHandler(XML_Parser parser, XML_StartElementHandler start,
                               XML_EndElementHandler end) {
    XML_SetElementHandler(parser, start, end);
}

void xmp_XML_SetCharacterDataHandler(XML_Parser parser, XML_CharacterDataHandler handler) {
    XML_SetCharacterDataHandler(parser, handler);
}

enum XML_Status xmp_XML_Parse(XML_Parser parser, const char* text, int length, int isFinal) {
    return XML_Parse(parser, text, length, isFinal);
}

enum XML_Error xmp_XML_GetErrorCode(XML_Parser parser) {
    return XML_GetErrorCode(parser);
}

const XML_LChar* xmp_XML_ErrorString(enum XML_Error code) {
    return XML_ErrorString(code);
}

enum XML_Status xmp_XML_StopParser(XML_Parser parser, XML_Bool resumable) {
    return XML_StopParser(parser, resumable);
}

void xmp_XML_ParserFree(XML_Parser parser) {
    if (parser != nullptr)
        XML_ParserFree(parser);
}
