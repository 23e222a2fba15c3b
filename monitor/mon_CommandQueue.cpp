#include "monitor/mon_CommandQueue.h"

#include <thread>

namespace {

// A command is a word and a job's name; longer lines are cut rather than kept whole.
const std::size_t maxLineBytes = 4096;

} // namespace

mon_CommandQueue::mon_CommandQueue(std::FILE* in) : shared(std::make_shared<Shared>()) {
    std::thread(readLines, in, shared).detach();
}

void mon_CommandQueue::readLines(std::FILE* in, std::shared_ptr<Shared> shared) {
    std::string line;
    int c;
    while ((c = std::fgetc(in)) != EOF) {
        if (c != '\n') {
            if (line.size() < maxLineBytes)
                line += char(c);
            continue;
        }
        std::lock_guard<std::mutex> lock(shared->mutex);
        shared->lines.push_back(line);
        line.clear();
    }
    std::lock_guard<std::mutex> lock(shared->mutex);
    if (!line.empty())
        shared->lines.push_back(line);
    shared->ended = true;
}

bool mon_CommandQueue::Next(std::string& line) {
    std::lock_guard<std::mutex> lock(shared->mutex);
    if (shared->lines.empty())
        return false;
    line = shared->lines.front();
    shared->lines.pop_front();
    return true;
}

bool mon_CommandQueue::Ended() {
    std::lock_guard<std::mutex> lock(shared->mutex);
    return shared->ended && shared->lines.empty();
}
