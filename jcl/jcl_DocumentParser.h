#ifndef JCL_JCL_DOCUMENTPARSER_H
#define JCL_JCL_DOCUMENTPARSER_H

#include "base/base_Export.h"
#include "base/cow_String.h"
#include "jcl/jcl_Node.h"

// Parses one received piece of text as a complete XML document and returns the tree
// of its top-level element. Ill-formed text yields whatever was built before the
// error; text without any element yields an empty node.
class QORKEL_API jcl_DocumentParser {
public:
    static jcl_Node Parse(const char* text, int length);
    static jcl_Node Parse(const cow_String& text) { return Parse(text.c_str(), text.length()); }

private:
    // The tree being built. The innermost open element is found again by walking
    // path from root; no pointer into the tree is kept between callbacks.
    struct ParseContext {
        ParseContext();
        jcl_Node root;
        bool siblingClosed;
        cow_List<int> path;
        int depth;
        int lastClosedIndex;
    };

    static void StartElement(void* userData, const char* name, const char** attributes);
    static void EndElement(void* userData, const char* name);
    static void CharacterData(void* userData, const char* characters, int length);
};

#endif
