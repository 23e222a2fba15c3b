// Feeds arbitrary bytes to the stream reader in pieces whose sizes come from the input
// itself, as a live stream arrives in reads of any length, and turns every stanza into
// the stanza the connection would dispatch and back into text.
#include "base/aio_ostream.h"
#include "jcl/jcl_IQ.h"
#include "jcl/jcl_Message.h"
#include "jcl/jcl_Presence.h"
#include "jcl/jcl_StreamReader.h"

#include <cstdint>
#include <cstdio>

namespace {

class Dispatcher : public jcl_StreamReader::Sink {
public:
    void HandleStanza(const jcl_Node& stanza) override {
        stanza.Serialize();
        jcl_Message(stanza).Serialize();
        jcl_Presence(stanza).Serialize();
        jcl_IQ(stanza).Serialize();
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static std::FILE* quiet = (aio_cout.SetTarget(std::fopen("/dev/null", "w")), nullptr);
    (void)quiet;
    if (size < 1)
        return 0;
    const int piece = 1 + data[0] % 64;
    Dispatcher dispatcher;
    jcl_StreamReader reader(dispatcher, 2);
    const char* text = reinterpret_cast<const char*>(data + 1);
    int left = int(size - 1);
    while (left > 0 && !reader.HasFailed() && !reader.HasEnded()) {
        const int length = left < piece ? left : piece;
        reader.Feed(text, length);
        text += length;
        left -= length;
    }
    return 0;
}
