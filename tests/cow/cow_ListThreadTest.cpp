// Lists handed from one thread to another, as the report buffer is: appended under a lock on
// the reporting threads, taken and cleared under it by the task, read and released outside
// it. Their blocks and counters are released on threads other than the ones that made them.
#include "cow/cow_List.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string Payload(int producer, int sequence) {
    return "<Step><producer>" + std::to_string(producer) + "</producer><sequence>" +
           std::to_string(sequence) + "</sequence></Step>";
}

TEST(cow_ListThreadTest, ABufferFilledOnSeveralThreadsIsDrainedWholeOnAnother) {
    const int producers = 4;
    const int reportsEach = 20000;
    std::mutex bufferLock;
    cow_List<std::string> buffer;
    bool producing = true;
    std::vector<std::vector<int>> received(producers);

    std::thread consumer([&] {
        for (;;) {
            cow_List<std::string> taken;
            bool last;
            {
                std::lock_guard<std::mutex> guard(bufferLock);
                taken = buffer;
                buffer = cow_List<std::string>();
                last = !producing;
            }
            for (int j = 0; j < taken.Count(); ++j) {
                const std::string& payload = taken.ConstGet(j);
                const int producer = payload[16] - '0';
                const std::size_t start = payload.find("<sequence>") + 10;
                received[producer].push_back(std::stoi(payload.substr(start)));
            }
            if (last)
                return;
            std::this_thread::yield();
        }
    });
    std::vector<std::thread> threads;
    for (int p = 0; p < producers; ++p) {
        threads.emplace_back([&, p] {
            for (int k = 0; k < reportsEach; ++k) {
                const std::string payload = Payload(p, k);
                std::lock_guard<std::mutex> guard(bufferLock);
                buffer.Append(payload);
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    {
        std::lock_guard<std::mutex> guard(bufferLock);
        producing = false;
    }
    consumer.join();

    for (int p = 0; p < producers; ++p) {
        ASSERT_EQ(static_cast<std::size_t>(reportsEach), received[p].size()) << p;
        for (int k = 0; k < reportsEach; ++k)
            ASSERT_EQ(k, received[p][k]) << "producer " << p;
    }
}

TEST(cow_ListThreadTest, ListsBuiltOnOneThreadAreReleasedOnAnother) {
    std::vector<cow_List<int>> lists(16);
    std::thread builder([&] {
        for (std::size_t l = 0; l < lists.size(); ++l) {
            for (int k = 0; k < 1000 * static_cast<int>(l + 1); ++k)
                lists[l].Append(k);
            // A shared copy and a slice take counters and blocks of their own.
            cow_List<int> copy(lists[l]);
            copy.Get(0) = -1;
            lists[l] = copy.Slice(0, copy.Count());
        }
    });
    builder.join();
    bool intact = true;
    std::thread releaser([&] {
        for (std::size_t l = 0; l < lists.size(); ++l) {
            intact = intact && lists[l].Count() == 1000 * static_cast<int>(l + 1) &&
                     lists[l].ConstGet(0) == -1 && lists[l].Last() == lists[l].Count() - 1;
            lists[l] = cow_List<int>();
        }
    });
    releaser.join();
    EXPECT_TRUE(intact);
}

} // namespace
