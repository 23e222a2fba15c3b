#ifndef TESTS_E2E_XMPP_TESTSUPPORT_H
#define TESTS_E2E_XMPP_TESTSUPPORT_H

#include "base/cow_Map.h"
#include "csp/csp_IpAddress.h"
#include "csp/csp_SocketAddress.h"
#include "csp/csp_TcpSocket.h"
#include "jcl/jcl_Connection.h"
#include "jcl/jcl_DocumentParser.h"
#include "jcl/jcl_Entity.h"
#include "jcl/jcl_IQ.h"
#include "jcl/jcl_Node.h"
#include "jcl/jcl_Presence.h"
#include "jcl/jcl_Stream.h"
#include "platform/platform_Sockets.h"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

// Helpers for the tests against the private XMPP server that the ctest fixture starts
// on a free port of 127.0.0.1 with the virtual host "localhost".
namespace xmpp_test {

const char serverName[] = "localhost";

inline std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// The fixture's port, from its state directory; the usual one when there is none.
inline int ServerPort() {
    std::ifstream file(Env("QORKEL_XMPP_SERVER_STATE") + "/port");
    int port = 0;
    if (file >> port && port > 0)
        return port;
    return 5222;
}

// What a job's -msgserver says to reach the fixture's server.
inline std::string ServerOption() {
    return std::string(serverName) + ":" + std::to_string(ServerPort());
}

// The fixture's server, stopped and started again through its script.
class PrivateServer {
public:
    static bool CanControl() {
#if defined(_WIN32)
        return false; // a Windows program cannot run the POSIX script
#else
        return !Script().empty() && !StateDir().empty();
#endif
    }
    static void Stop() {
        Run("stop");
    }
    static void Start() {
        Run("start");
    }
    static std::string StateDir() {
        return Env("QORKEL_XMPP_SERVER_STATE");
    }

private:
    static std::string Script() {
        return Env("QORKEL_XMPP_SERVER_SCRIPT");
    }
    static void Run(const char* action) {
        const std::string command =
            "bash '" + Script() + "' " + action + " '" + StateDir() + "' >/dev/null 2>&1";
        if (std::system(command.c_str()) != 0)
            throw std::runtime_error(std::string("could not ") + action + " the XMPP server");
    }
};

// Stops the server for the scope of a test and starts it again afterwards.
class ServerPause {
public:
    ServerPause() { PrivateServer::Stop(); }
    ~ServerPause() {
        try {
            PrivateServer::Start();
        } catch (...) {
        }
    }
    ServerPause(const ServerPause&) = delete;
    ServerPause& operator=(const ServerPause&) = delete;
};

// Element content in one fixed form: attributes in key order, text before children,
// markup characters escaped. The server writes its own quotes and attribute order, so
// what it forwards is compared in this form.
inline std::string Canonical(const jcl_Node& node) {
    const auto escape = [](const cow_String& text) {
        std::string out;
        for (int i = 0; i < text.length(); ++i) {
            const char c = text[i];
            out += c == '<' ? "&lt;" : c == '>' ? "&gt;" : c == '&' ? "&amp;" : std::string(1, c);
        }
        return out;
    };
    std::string out = "<" + std::string(node.GetTagName().c_str());
    cow_Map<cow_String, cow_String>::ConstIterator it(node.attributes);
    for (it.First(); !it.IsDone(); it.Next())
        out += " " + std::string(it.Key().c_str()) + "='" + escape(it.Value()) + "'";
    out += ">" + escape(node.text);
    for (int i = 0; i < node.children.Count(); ++i)
        out += Canonical(node.children.ConstGet(i));
    return out + "</" + node.GetTagName().c_str() + ">";
}

inline std::string CanonicalText(const std::string& xml) {
    return Canonical(jcl_DocumentParser::Parse(xml.c_str(), int(xml.size())));
}

inline std::string Attribute(const jcl_Node& node, const char* name) {
    return node.attributes.ConstGet(name).c_str();
}

inline const jcl_Node* Child(const jcl_Node& node, const char* name) {
    for (int i = 0; i < node.children.Count(); ++i)
        if (node.children.ConstGet(i).GetTagName() == name)
            return &node.children.ConstGet(i);
    return nullptr;
}

// The bare address (user@domain) of a full one, in the lower case the server uses.
inline std::string Bare(const std::string& address) {
    std::string bare = address.substr(0, address.find('/'));
    for (char& c : bare)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return bare;
}

// A client logged in as the monitor that keeps every stanza it receives. It reads with
// jcl_Stream, which assembles stanzas across reads and delivers every one of a read;
// the client connection would lose all but the first of stanzas that arrive together.
class Monitor {
public:
    // Registers the account (an existing one is fine) and logs in on the same stream, each
    // after the server's answer to the one before: a log-in that overtook the registration
    // would be refused.
    Monitor(const std::string& name, const std::string& resource)
        : name(name), resource(resource), socket(csp_TcpSocket::bindToAnyPort) {
        socket.connectTo(csp_SocketAddress(csp_IpAddress(cow_String("127.0.0.1")), ServerPort()));
        socket.setToAutoClose(false); // the stream closes it
        stream.reset(new Collector(socket, stanzas));
        Write(std::string("<?xml version=\"1.0\"?>\n<stream:stream xmlns:stream="
                          "\"http://etherx.jabber.org/streams\" to=\"") +
              serverName + "\" xmlns=\"jabber:client\">\n");
        jcl_IQ registration;
        registration.SetTo(serverName);
        registration.SetType("set");
        registration.SetQueryNamespace("jabber:iq:register");
        registration.SetUsername(name.c_str());
        registration.SetPassword(name.c_str());
        Send(registration);
        if (WaitFor([](const jcl_Node& n) { return n.GetTagName() == "iq"; }) == nullptr)
            throw std::runtime_error("the server did not answer the monitor's registration");
        jcl_IQ login;
        login.SetTo(serverName);
        login.SetType("set");
        login.SetQueryNamespace("jabber:iq:auth");
        login.SetUsername(name.c_str());
        login.SetPassword(name.c_str());
        login.SetResource(resource.c_str());
        Send(login);
        const jcl_Node* answer = WaitFor([](const jcl_Node& n) { return n.GetTagName() == "iq"; });
        if (answer == nullptr || Attribute(*answer, "type") != "result")
            throw std::runtime_error("the monitor could not log in");
        Send(jcl_Presence());
    }
    Monitor(const Monitor&) = delete;
    Monitor& operator=(const Monitor&) = delete;

    std::string Address() const { return name + "@" + serverName + "/" + resource; }

    void Send(const jcl_Entity& stanza) { Write(stanza.Serialize().c_str()); }
    void Write(const std::string& text) { socket.write(text.data(), int(text.size())); }

    // The first stanza not yet taken that matches, reading for at most the given time.
    const jcl_Node* WaitFor(const std::function<bool(const jcl_Node&)>& matches,
                            int milliseconds = 5000) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
        for (;;) {
            for (; taken < stanzas.size(); ++taken)
                if (matches(stanzas[taken]))
                    return &stanzas[taken++];
            if (std::chrono::steady_clock::now() > deadline || !ReadOnce())
                return nullptr;
        }
    }

    // The x content of the next chat message, or null.
    const jcl_Node* NextReport(int milliseconds = 5000) {
        const jcl_Node* message =
            WaitFor([](const jcl_Node& n) { return n.GetTagName() == "message" && Child(n, "x"); },
                    milliseconds);
        return message;
    }

    // Reads whatever arrives within the time and keeps it; false once the stream ended.
    bool Drain(int milliseconds) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
        while (std::chrono::steady_clock::now() < deadline)
            if (!ReadOnce())
                return false;
        return true;
    }

    const std::vector<jcl_Node>& Stanzas() const { return stanzas; }

private:
    class Collector : public jcl_Stream {
    public:
        Collector(const csp_TcpSocket& socket, std::vector<jcl_Node>& into)
            : jcl_Stream("127.0.0.1", ServerPort(), 2, socket), into(into) {}
        void HandleStanza(const jcl_Node& stanza) override { into.push_back(stanza); }

    private:
        std::vector<jcl_Node>& into;
    };

    // False when the stream has ended or failed.
    bool ReadOnce() {
        const int ready = wsa::waitUntilReadable(socket.getDescriptor(), 50000);
        if (ready == 0)
            return true;
        return ready == 1 && stream->Read() > 0 && !stream->HasFailed();
    }

    std::string name;
    std::string resource;
    csp_TcpSocket socket;
    std::vector<jcl_Node> stanzas;
    std::size_t taken = 0;
    std::unique_ptr<Collector> stream;
};

} // namespace xmpp_test

#endif
