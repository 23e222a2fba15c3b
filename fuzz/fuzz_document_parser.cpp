// Feeds arbitrary bytes, as a server might send them, to the one-document parser
// and turns the tree into each kind of stanza and back into text.
#include "base/aio_ostream.h"
#include "jcl/jcl_DocumentParser.h"
#include "jcl/jcl_IQ.h"
#include "jcl/jcl_Message.h"
#include "jcl/jcl_Presence.h"

#include <cstdint>
#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static std::FILE* quiet = (aio_cout.SetTarget(std::fopen("/dev/null", "w")), nullptr);
    (void)quiet;
    jcl_Node node = jcl_DocumentParser::Parse(reinterpret_cast<const char*>(data), int(size));
    jcl_Message(node).Serialize();
    jcl_Presence(node).Serialize();
    jcl_IQ(node).Serialize();
    return 0;
}
