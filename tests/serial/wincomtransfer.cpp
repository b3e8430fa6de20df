// One transfer each way through a real COM port, driven the way the port class drives the
// platform layer in its event mode: a monitor thread that waits for events and takes what has
// arrived, and the caller's thread writing. winecomtransfer.py plays the other end under Wine.
//
// Usage: wincomtransfer <port>   (exit 0 only when both patterns went through byte-exact)
#include "serialplatform.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;
using SP = SerialPlatform;

const std::size_t SendSize = 64 * 1024;
const std::size_t ReceiveSize = 48 * 1024;
// The other end makes the same bytes: a lost, doubled or swapped block shows as a mismatch, and
// bytes echoed back do not pass for the reply.
const unsigned SendSeed = 1;
const unsigned ReceiveSeed = 2;
// Offered a block at a time, as the updater offers its packets, so that writes queue up behind
// one still in flight.
const std::size_t WriteBlock = 4096;
const auto Limit = std::chrono::seconds(30);
// A call that hangs past every bounded wait ends the process instead.
const auto HangLimit = Limit + std::chrono::seconds(15);

unsigned char patternByte(unsigned seed, std::size_t i)
{
    const std::uint32_t x = std::uint32_t(i) * 2654435761u + seed * 97u;
    return static_cast<unsigned char>((x >> 13) ^ (x >> 24) ^ i);
}

std::vector<char> pattern(unsigned seed, std::size_t size)
{
    std::vector<char> bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(patternByte(seed, i));
    return bytes;
}

// What the two threads share. The monitor owns `received` until it has been joined.
struct Shared {
    SP::Port* port = nullptr;
    SP::Waker* waker = nullptr;
    Clock::time_point deadline;

    std::mutex lock;
    std::condition_variable changed;
    std::string failure;     // the first one
    bool writable = false;   // the monitor saw the port writable since the writer asked
    std::size_t arrived = 0; // copy of received.size() for the waiting writer
    std::atomic<bool> wantWrite{false};
    std::atomic<bool> stop{false};

    std::vector<char> received;
    // Per kind of waitEvents() result; a result may carry several kinds.
    long calls = 0, nothing = 0, readable = 0, writableSeen = 0, woken = 0, timeouts = 0,
         failed = 0, hangups = 0, modem = 0;

    std::string firstFailure()
    {
        std::lock_guard<std::mutex> hold(lock);
        return failure;
    }
    void fail(const std::string& why)
    {
        std::lock_guard<std::mutex> hold(lock);
        if (failure.empty())
            failure = why;
        changed.notify_all();
    }
};

std::string describe(const char* call, int err)
{
    return std::string(call) + " failed: " + SP::errorString(err) + " (" + std::to_string(err) +
           ")";
}

void countResult(Shared* s, int seen)
{
    ++s->calls;
    s->nothing += seen == 0;
    s->readable += (seen & SP::WaitReadable) != 0;
    s->writableSeen += (seen & SP::WaitWritable) != 0;
    s->woken += (seen & SP::WaitWoken) != 0;
    s->timeouts += (seen & SP::WaitTimeout) != 0;
    s->failed += (seen & SP::WaitFailed) != 0;
    s->hangups += (seen & SP::WaitHangup) != 0;
    s->modem += (seen & SP::WaitModemChanged) != 0;
}

// The port class's monitor loop, with the input and output queues reduced to a buffer and a flag.
void monitor(Shared* s)
{
    std::vector<char> chunk(4096);
    while (!s->stop) {
        // Read after the wake-up is cleared, so that a request made meanwhile is not missed.
        const bool wantWrite = s->wantWrite;
        int err = 0;
        const int seen = SP::waitEvents(s->port, true, wantWrite, s->waker, -1, &err);
        countResult(s, seen);
        if (seen & SP::WaitWoken)
            SP::clearWake(s->waker);
        if (seen & (SP::WaitFailed | SP::WaitHangup)) {
            s->fail(describe("waitEvents", err));
            return;
        }
        if (seen & SP::WaitReadable) {
            for (;;) {
                const std::int64_t n = SP::readNow(s->port, chunk.data(), chunk.size(), &err);
                if (n < 0) {
                    s->fail(describe("readNow", err));
                    return;
                }
                if (n == 0)
                    break;
                s->received.insert(s->received.end(), chunk.begin(), chunk.begin() + n);
            }
            std::lock_guard<std::mutex> hold(s->lock);
            s->arrived = s->received.size();
            s->changed.notify_all();
        }
        if (seen & SP::WaitWritable) {
            std::lock_guard<std::mutex> hold(s->lock);
            s->writable = true;
            s->changed.notify_all();
        }
    }
}

// Until the monitor reports the port writable; false on failure or at the deadline.
bool awaitWritable(Shared* s)
{
    {
        std::lock_guard<std::mutex> hold(s->lock);
        s->writable = false;
        s->wantWrite = true;
    }
    SP::wake(s->waker);
    std::unique_lock<std::mutex> hold(s->lock);
    const bool ok = s->changed.wait_until(hold, s->deadline,
                                          [s] { return s->writable || !s->failure.empty(); });
    s->wantWrite = false;
    if (!ok)
        s->failure = "gave up: the port was not reported writable within 30 s";
    return s->failure.empty();
}

void send(Shared* s, const std::vector<char>& data)
{
    std::size_t sent = 0;
    while (sent < data.size()) {
        int err = 0;
        const std::size_t offer = std::min(WriteBlock, data.size() - sent);
        const std::int64_t n = SP::writeNow(s->port, data.data() + sent, offer, &err);
        if (n < 0)
            return s->fail(describe("writeNow", err) + " after " + std::to_string(sent) + " bytes");
        if (n > std::int64_t(offer))
            return s->fail("writeNow reported more taken than offered");
        sent += std::size_t(n);
        // Nothing taken yet: the same bytes go again once the write in flight has ended.
        if (n == 0 && !awaitWritable(s))
            return;
    }
    int err = 0;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(s->deadline - Clock::now());
    if (!SP::drainOutput(s->port, int(std::max<long long>(left.count(), 0)), &err))
        s->fail(describe("drainOutput", err));
}

bool awaitReceived(Shared* s)
{
    std::unique_lock<std::mutex> hold(s->lock);
    const bool ok = s->changed.wait_until(
        hold, s->deadline, [s] { return s->arrived >= ReceiveSize || !s->failure.empty(); });
    if (!ok)
        s->failure = "gave up: " + std::to_string(s->arrived) + " of " +
                     std::to_string(ReceiveSize) + " bytes received within 30 s";
    return s->failure.empty();
}

std::string checkReceived(const std::vector<char>& got)
{
    const std::vector<char> want = pattern(ReceiveSeed, ReceiveSize);
    if (got.size() != want.size())
        return "received " + std::to_string(got.size()) + " bytes, expected " +
               std::to_string(want.size());
    for (std::size_t i = 0; i < want.size(); ++i)
        if (got[i] != want[i])
            return "received bytes differ from offset " + std::to_string(i);
    return std::string();
}

int fatal(const std::string& why)
{
    std::fprintf(stderr, "wincomtransfer: %s\n", why.c_str());
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2)
        return fatal("usage: wincomtransfer <port>");
    std::thread([] {
        std::this_thread::sleep_for(HangLimit);
        std::fprintf(stderr, "wincomtransfer: gave up: a call did not return\n");
        std::fflush(stderr);
        std::_Exit(3);
    }).detach();

    int err = 0;
    Shared s;
    s.port = SP::openPort(argv[1], &err);
    if (!s.port)
        return fatal(describe("openPort", err));
    SP::LineConfig config;
    if (!SP::readConfig(s.port, &config, &err))
        return fatal(describe("readConfig", err));
    config.byteSize = 8;
    config.parity = 0;
    config.stopBits = 0;
    config.fParity = false;
    config.fOutxCtsFlow = false;
    config.fOutX = false;
    config.fInX = false;
    config.fNull = false;
    config.fRtsControl = SP::RtsDisable;
    config.fAbortOnError = false;
    SP::Timeouts immediate;
    immediate.readInterval = SP::MaxTimeout;
    if (!SP::applyConfig(s.port, config, &err))
        return fatal(describe("applyConfig", err));
    if (!SP::applyTimeouts(s.port, immediate, &err))
        return fatal(describe("applyTimeouts", err));
    if (!SP::watchEvents(s.port, &err))
        return fatal(describe("watchEvents", err));
    s.waker = SP::createWaker(&err);
    if (!s.waker)
        return fatal(describe("createWaker", err));

    const Clock::time_point start = Clock::now();
    s.deadline = start + Limit;
    std::thread monitorThread(monitor, &s);
    send(&s, pattern(SendSeed, SendSize));
    if (s.firstFailure().empty())
        awaitReceived(&s);
    s.stop = true;
    SP::wake(s.waker);
    monitorThread.join();
    const auto took =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();

    std::string failure = s.failure;
    if (failure.empty())
        failure = checkReceived(s.received);
    std::printf("wincomtransfer: %s at %u bit/s: sent %zu, received %zu bytes in %lld ms\n",
                argv[1], unsigned(config.baudRate), SendSize, s.received.size(),
                static_cast<long long>(took));
    std::printf("waitEvents: %ld calls; nothing %ld, readable %ld, writable %ld, woken %ld, "
                "timeout %ld, failed %ld, hangup %ld, modem %ld\n",
                s.calls, s.nothing, s.readable, s.writableSeen, s.woken, s.timeouts, s.failed,
                s.hangups, s.modem);
    std::fflush(stdout);
    if (!SP::closePort(s.port, &err) && failure.empty())
        failure = describe("closePort", err);
    SP::destroyWaker(s.waker);
    if (!failure.empty())
        return fatal(failure);
    std::printf("wincomtransfer: both ways byte-exact\n");
    return 0;
}
