#ifndef BASE_XMP_EXPAT_H
#define BASE_XMP_EXPAT_H

#include "base/base_Export.h"

// windows.h defines cdecl away; in files that include it first, Expat's handler types
// would lose their calling convention, and the functions below their link names.
#if defined(__GNUC__) && defined(__i386__) && !defined(XMLCALL)
#define XMLCALL __attribute__((__cdecl__))
#endif
#include <expat.h>

// The host's event-driven XML parser: Expat's interface under the prefix xmp_.
// A parser made here reports every complete element from the very call that
// fed its last byte, however the input was split (stream readers rely on it).
QORKEL_API XML_Parser xmp_XML_ParserCreate(const XML_Char* encoding);
QORKEL_API void xmp_XML_SetUserData(XML_Parser parser, void* userData);
QORKEL_API void xmp_XML_SetElementHandler(XML_Parser parser, XML_StartElementHandler start,
                                          XML_EndElementHandler end);
QORKEL_API void xmp_XML_SetCharacterDataHandler(XML_Parser parser,
                                                XML_CharacterDataHandler handler);
QORKEL_API enum XML_Status xmp_XML_Parse(XML_Parser parser, const char* text, int length,
                                         int isFinal);
QORKEL_API enum XML_Error xmp_XML_GetErrorCode(XML_Parser parser);
QORKEL_API const XML_LChar* xmp_XML_ErrorString(enum XML_Error code);
QORKEL_API enum XML_Status xmp_XML_StopParser(XML_Parser parser, XML_Bool resumable);
QORKEL_API void xmp_XML_ParserFree(XML_Parser parser);

#endif
