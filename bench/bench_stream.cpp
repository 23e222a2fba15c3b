// jcl_Stream against raw Expat on the same bytes, fed in the same 2000-byte pieces
// that one socket read delivers. Expat's handlers do nothing; the stream builds a tree
// per stanza and hands it to a handler that does nothing.
#include "base/xmp_Expat.h"
#include "csp/csp_TcpSocket.h"
#include "jcl/jcl_Stream.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

const int readSize = 2000;

std::string TypicalStream(int stanzas) {
    std::string text = "<?xml version='1.0'?><stream:stream "
                       "xmlns:stream='http://etherx.jabber.org/streams' xmlns='jabber:client' "
                       "from='server.example' id='4f2a9c' version='1.0'>";
    for (int i = 0; i < stanzas; ++i) {
        const std::string n = std::to_string(i);
        switch (i % 4) {
        case 0:
        case 1:
            // The report payload: one element per field, each with a type attribute.
            text += "<message to='monitor@server.example/desk' from='job" + n +
                    "@server.example/run' type='chat' id='m" + n +
                    "'><x xmlns='zorvik:msg'><Warning><heading type=\"string\">Solver step " + n +
                    "</heading><residual type=\"real\">1.25e-05</residual><iteration "
                    "type=\"integer\">" +
                    n +
                    "</iteration><phase type=\"symconst\">solve</phase><jobName "
                    "type=\"string\">job1</jobName></Warning>\n</x></message>\n";
            break;
        case 2:
            text += "<presence from='monitor@server.example/desk' to='job@server.example/run'>"
                    "<show>away</show><status>watching job " +
                    n + "</status><priority>1</priority></presence>\n";
            break;
        default:
            text += "<iq type='result' id='auth" + n +
                    "' from='server.example'><query xmlns='jabber:iq:auth'><username>job" + n +
                    "</username><resource>run</resource></query></iq>\n";
            break;
        }
    }
    return text;
}

const std::string& Input() {
    static const std::string input = TypicalStream(20000);
    return input;
}

class DiscardingStream : public jcl_Stream {
public:
    explicit DiscardingStream(csp_TcpSocket socket) : jcl_Stream("127.0.0.1", 5222, 2, socket) {}
    void HandleStanza(const jcl_Node& stanza) override {
        benchmark::DoNotOptimize(&stanza);
        ++stanzas;
    }
    long stanzas = 0;
};

void BM_JclStream(benchmark::State& state) {
    const std::string& input = Input();
    for (auto _ : state) {
        // The stream closes its socket when it ends, so each run needs one of its own.
        csp_TcpSocket socket(csp_TcpSocket::bindToAnyPort);
        socket.setToAutoClose(false);
        DiscardingStream stream(socket);
        for (size_t fed = 0; fed < input.size(); fed += readSize) {
            const size_t length = std::min<size_t>(readSize, input.size() - fed);
            stream.Feed(input.data() + fed, static_cast<int>(length));
        }
        if (stream.HasFailed() || stream.stanzas != 20000)
            state.SkipWithError("the stream did not deliver every stanza");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(input.size()));
}

void XMLCALL IgnoreStart(void*, const XML_Char*, const XML_Char**) {}
void XMLCALL IgnoreEnd(void*, const XML_Char*) {}
void XMLCALL IgnoreText(void*, const XML_Char*, int) {}

void BM_RawExpat(benchmark::State& state) {
    const std::string& input = Input();
    for (auto _ : state) {
        XML_Parser parser = xmp_XML_ParserCreate(nullptr);
        xmp_XML_SetElementHandler(parser, IgnoreStart, IgnoreEnd);
        xmp_XML_SetCharacterDataHandler(parser, IgnoreText);
        bool ok = true;
        for (size_t fed = 0; fed < input.size(); fed += readSize) {
            const size_t length = std::min<size_t>(readSize, input.size() - fed);
            ok = ok && xmp_XML_Parse(parser, input.data() + fed, static_cast<int>(length), 0) ==
                           XML_STATUS_OK;
        }
        xmp_XML_ParserFree(parser);
        if (!ok)
            state.SkipWithError("Expat rejected the input");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(input.size()));
}

} // namespace

BENCHMARK(BM_RawExpat)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JclStream)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
