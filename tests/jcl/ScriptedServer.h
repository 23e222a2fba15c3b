#ifndef TESTS_JCL_SCRIPTEDSERVER_H
#define TESTS_JCL_SCRIPTEDSERVER_H

#include "csp/csp_IpAddress.h"
#include "csp/csp_SocketAddress.h"
#include "csp/csp_TcpSocket.h"
#include "platform/platform_Sockets.h"

#include <chrono>
#include <string>
#include <thread>
#include <vector>

// A one-connection server on 127.0.0.1 that replays canned bytes: for each step it
// reads until what it received since the previous step contains waitFor, waits
// delayMilliseconds, then writes reply (in pieces of pieceSize bytes when that is not
// 0). Every wait gives up after a few seconds, so a test that goes wrong fails instead
// of hanging.
class ScriptedServer {
public:
    enum Ending { waitForClientClose, closeAtOnce, resetAtOnce };
    struct Step {
        std::string waitFor;
        std::string reply;
        int delayMilliseconds = 0;
    };

    // `onPort` 0 takes a free port; another is for a server that comes back where it was.
    explicit ScriptedServer(std::vector<Step> steps, Ending ending = waitForClientClose,
                            int pieceSize = 0, int onPort = 0)
        : listener(csp_SocketAddress(csp_IpAddress(cow_String("127.0.0.1")), onPort)),
          steps(std::move(steps)), ending(ending), pieceSize(pieceSize) {
        listener.listen(1);
        port = listener.name().getPort();
        worker = std::thread([this] { Serve(); });
    }
    ~ScriptedServer() { Finish(); }
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    int Port() const { return port; }

    // Waits for the script to end; then everything the client sent.
    const std::string& Finish() {
        if (worker.joinable())
            worker.join();
        return received;
    }
    bool ScriptCompleted() {
        Finish();
        return completed;
    }

private:
    static const long waitLimit = 5000000;

    void Serve() {
        try {
            if (wsa::waitUntilReadable(listener.getDescriptor(), waitLimit) != 1)
                return;
            csp_TcpSocket peer(listener.acceptConnection());
            size_t searchFrom = 0;
            for (const Step& step : steps) {
                size_t found;
                while ((found = received.find(step.waitFor, searchFrom)) == std::string::npos) {
                    if (!ReadSome(peer))
                        return;
                }
                searchFrom = found + step.waitFor.size();
                std::this_thread::sleep_for(std::chrono::milliseconds(step.delayMilliseconds));
                Write(peer, step.reply);
            }
            completed = true;
            if (ending == waitForClientClose) {
                while (ReadSome(peer)) {
                }
            } else if (ending == resetAtOnce) {
                peer.setLinger(true, 0);
            }
            peer.close();
        } catch (...) {
        }
    }

    bool ReadSome(csp_TcpSocket& peer) {
        if (wsa::waitUntilReadable(peer.getDescriptor(), waitLimit) != 1)
            return false;
        char buffer[4096];
        const int count = peer.read(buffer, sizeof buffer);
        if (count <= 0)
            return false;
        received.append(buffer, static_cast<size_t>(count));
        return true;
    }

    void Write(csp_TcpSocket& peer, const std::string& reply) {
        const size_t piece = pieceSize > 0 ? static_cast<size_t>(pieceSize) : reply.size();
        for (size_t sent = 0; sent < reply.size(); sent += piece) {
            const size_t length = std::min(piece, reply.size() - sent);
            for (size_t done = 0; done < length;) {
                const int count =
                    peer.write(reply.data() + sent + done, static_cast<int>(length - done));
                if (count <= 0)
                    return;
                done += static_cast<size_t>(count);
            }
            if (pieceSize > 0)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }

    csp_TcpSocket listener;
    std::vector<Step> steps;
    Ending ending;
    int pieceSize;
    int port = 0;
    bool completed = false;
    std::string received;
    std::thread worker;
};

#endif
