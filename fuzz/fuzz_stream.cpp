// Feeds arbitrary bytes to the stream reader in pieces whose sizes come from the
// input itself, as a live stream arrives in reads of any length.
#include "base/aio_ostream.h"
#include "csp/csp_TcpSocket.h"
#include "jcl/jcl_Stream.h"

#include <cstdint>
#include <cstdio>

namespace {
class SilentStream : public jcl_Stream {
public:
    explicit SilentStream(csp_TcpSocket socket) : jcl_Stream("127.0.0.1", 5222, 2, socket) {}
    void HandleStanza(const jcl_Node& stanza) override { stanza.Serialize(); }
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static std::FILE* quiet = (aio_cout.SetTarget(std::fopen("/dev/null", "w")), nullptr);
    (void)quiet;
    if (size < 1)
        return 0;
    int piece = 1 + data[0] % 64;
    csp_TcpSocket socket(csp_TcpSocket::bindToAnyPort);
    socket.setToAutoClose(false);
    SilentStream stream(socket);
    const char* text = reinterpret_cast<const char*>(data + 1);
    int left = int(size - 1);
    while (left > 0 && !stream.HasFailed()) {
        int length = left < piece ? left : piece;
        stream.Feed(text, length);
        text += length;
        left -= length;
    }
    return 0;
}
