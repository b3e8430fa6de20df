// The Windows serial platform on a simulated USB serial device: the device tests' rows, with the
// platform driven as the port drives it (one monitor thread waiting for events and reading,
// writers offering bytes and waiting for the device to take them). Prints a line per row and a
// count; exits non-zero on any failure.
#include "devicerows.h"
#include "serialplatform.h"
#include "simwindevice.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;
using SP = SerialPlatform;

const int Long = 15000;
// Two digits: such a port opens only by its device path.
const char* const DeviceName = "COM12";
// The port's bound on waiting for output at close, and the test's for close as a whole.
const int FlushTimeoutMs = 2000;
const int CloseBoundMs = 6000;
// The port's pause after a failed event wait.
const int WaitFailurePauseMs = 100;
// The error of a device that keeps failing, and of one whose failure passes.
const DWORD GoneError = ERROR_BAD_COMMAND;
const DWORD PassingError = ERROR_NO_SYSTEM_RESOURCES;

long long elapsedMs(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

void sleepMs(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

bool waitUntil(const std::function<bool()>& done, int ms = Long)
{
    const Clock::time_point start = Clock::now();
    while (!done()) {
        if (elapsedMs(start) >= ms)
            return false;
        sleepMs(1);
    }
    return true;
}

std::string pattern(int size, int seed)
{
    std::string out(std::size_t(size), '\0');
    for (int i = 0; i < size; ++i)
        out[std::size_t(i)] = char((i * 31 + seed) & 0xff);
    return out;
}

SimWinDevice::Behaviour behaviourOf(const DeviceRows::Device& device)
{
    SimWinDevice::Behaviour b;
    b.modemLines = device.modemLines;
    b.modemEvents = device.modemWait;
    b.outCapacity = device.outCapacity;
    b.drainPerMs = device.drainPerMs;
    return b;
}

// The first failed check of a row.
struct RowFailure {
    std::string what;
};

#define CHECK(cond)                                                                                \
    do {                                                                                           \
        if (!(cond))                                                                               \
            throw RowFailure{std::string(#cond) + " (line " + std::to_string(__LINE__) + ")"};     \
    } while (0)

// The platform driven as the port drives it: a monitor thread that sleeps in waitEvents(),
// reads what arrives and pumps the output queue when the device has room; writers queue bytes
// and hand the device what it takes at once.
class Driver
{
public:
    explicit Driver(SimWinDevice& device) : dev(device) {}
    ~Driver() { close(); }

    // Opens as the port's openDevice() does; false with openErr set and nothing held on failure.
    bool open(std::uint32_t rate = 115200, bool hardwareFlow = false)
    {
        int err = 0;
        port = SP::openPort(DeviceName, &err);
        if (!port) {
            openErr = err;
            return false;
        }
        SP::LineConfig config;
        SP::readConfig(port, &config, &err);
        if (rate)
            config.baudRate = rate;
        config.byteSize = 8;
        config.parity = 0;
        config.stopBits = 0;
        config.fOutX = config.fInX = false;
        config.fOutxCtsFlow = hardwareFlow;
        config.fRtsControl = hardwareFlow ? SP::RtsHandshake : SP::RtsDisable;
        SP::Timeouts immediate;
        immediate.readInterval = SP::MaxTimeout;
        bool ok = SP::applyConfig(port, config, &err) && SP::applyTimeouts(port, immediate, &err);
        if (ok && !waker)
            waker = SP::createWaker(&err);
        ok = ok && waker && SP::watchEvents(port, &err);
        if (!ok) {
            openErr = err;
            SP::closePort(port, &err);
            port = nullptr;
            return false;
        }
        SP::clearWake(waker);
        bool supported = false;
        const int lines = SP::modemStatus(port, &supported, &err);
        lastDsr = supported && lines >= 0 ? ((lines & SP::ModemDsr) ? 1 : 0) : -1;
        stopping = false;
        gone = false;
        monitor = std::thread(&Driver::watch, this);
        return true;
    }

    // Like the port's close(): output given a bounded time and discarded after it, the monitor
    // stopped, the device closed. Returns how long it took.
    long long close()
    {
        if (!port)
            return 0;
        const Clock::time_point start = Clock::now();
        if (!flush())
            SP::discardOutput(port);
        stopping = true;
        SP::wake(waker);
        monitor.join();
        int err = 0;
        SP::closePort(port, &err);
        port = nullptr;
        SP::destroyWaker(waker);
        waker = nullptr;
        return elapsedMs(start);
    }

    // Like the port's writeData(): the count queued, or what the device took of it when writing
    // failed (-1 for none); a failed call keeps none of its untaken bytes.
    long long write(const std::string& data, int* err)
    {
        if (gone) {
            *err = goneErr;
            return -1;
        }
        long long accepted = 0;
        bool ok;
        {
            std::lock_guard<std::mutex> lock(txLock);
            const std::size_t earlier = out.size();
            out += data;
            long long sent = 0;
            ok = pump(err, &sent);
            accepted = std::max<long long>(0, sent - (long long)earlier);
            if (!ok)
                out.resize(out.size() - (data.size() - std::size_t(accepted)));
        }
        if (!ok) {
            if (SP::isGoneError(*err))
                markGone(*err);
            return accepted > 0 ? accepted : -1;
        }
        SP::wake(waker);
        return (long long)data.size();
    }

    bool outputEmpty()
    {
        std::lock_guard<std::mutex> lock(txLock);
        return out.empty();
    }
    std::string received()
    {
        std::lock_guard<std::mutex> lock(rxLock);
        return input;
    }
    std::vector<bool> dsrReports()
    {
        std::lock_guard<std::mutex> lock(rxLock);
        return dsr;
    }

    SimWinDevice& dev;
    SP::Port* port = nullptr;
    SP::Waker* waker = nullptr;
    int openErr = 0;
    std::atomic<bool> gone{false};
    std::atomic<int> goneErr{0};
    std::atomic<int> waitFailures{0};
    std::atomic<int> waitFailureErr{0};
    std::atomic<int> pumpErr{0};

private:
    // Hands the device what it takes now; false on failure.
    bool pump(int* err, long long* sent = nullptr)
    {
        while (!out.empty()) {
            const long long n = SP::writeNow(port, out.data(), (long long)out.size(), err);
            if (n < 0)
                return false;
            if (n == 0)
                break;
            out.erase(0, std::size_t(n));
            if (sent)
                *sent += n;
        }
        return true;
    }

    bool flush()
    {
        if (gone)
            return false;
        const Clock::time_point start = Clock::now();
        for (;;) {
            int err = 0;
            bool more;
            {
                std::lock_guard<std::mutex> lock(txLock);
                if (!pump(&err)) {
                    markGone(err);
                    return false;
                }
                more = !out.empty();
            }
            if (!more)
                break;
            const int left = FlushTimeoutMs - int(elapsedMs(start));
            if (left <= 0)
                return false;
            SP::waitEvents(port, false, true, nullptr, left, &err);
        }
        int err = 0;
        const int left = std::max(0, FlushTimeoutMs - int(elapsedMs(start)));
        return SP::drainOutput(port, left, &err);
    }

    void markGone(int err)
    {
        if (gone.exchange(true))
            return;
        goneErr = err ? err : SP::ErrorGone;
        std::lock_guard<std::mutex> lock(txLock);
        out.clear();
    }

    // The port's monitorCommEvent(), looped.
    void watch()
    {
        while (!stopping) {
            const bool watchPort = !gone;
            int err = 0;
            const int seen =
                SP::waitEvents(watchPort ? port : nullptr, true, !outputEmpty(), waker, -1, &err);
            if (seen & SP::WaitWoken)
                SP::clearWake(waker);
            if (stopping)
                return;
            if (seen & SP::WaitFailed) {
                waitFailureErr = err;
                ++waitFailures;
                sleepMs(WaitFailurePauseMs);
                continue;
            }
            if (!watchPort)
                continue;
            if (seen & (SP::WaitReadable | SP::WaitHangup))
                fill(seen & SP::WaitHangup);
            if (seen & SP::WaitWritable) {
                std::lock_guard<std::mutex> lock(txLock);
                int writeErr = 0;
                if (!pump(&writeErr)) {
                    pumpErr = writeErr;
                    out.clear();
                    gone = true;
                    goneErr = writeErr;
                }
            }
            if ((seen & SP::WaitModemChanged) && !gone)
                reportDsr();
        }
    }

    void fill(bool hangup)
    {
        long long arrived = 0;
        for (;;) {
            std::vector<char> chunk(64 * 1024);
            int err = 0;
            const long long n = SP::readNow(port, chunk.data(), (long long)chunk.size(), &err);
            if (n < 0) {
                markGone(err);
                return;
            }
            arrived += n;
            {
                std::lock_guard<std::mutex> lock(rxLock);
                input.append(chunk.data(), std::size_t(n));
            }
            if (n < (long long)chunk.size())
                break;
        }
        if (hangup && arrived == 0)
            markGone(SP::ErrorGone);
    }

    void reportDsr()
    {
        bool supported = false;
        int err = 0;
        const int lines = SP::modemStatus(port, &supported, &err);
        if (lines < 0)
            return;
        const int now = (lines & SP::ModemDsr) ? 1 : 0;
        if (now == lastDsr)
            return;
        lastDsr = now;
        std::lock_guard<std::mutex> lock(rxLock);
        dsr.push_back(now != 0);
    }

    std::thread monitor;
    std::atomic<bool> stopping{false};
    std::mutex txLock;
    std::string out;
    std::mutex rxLock;
    std::string input;
    std::vector<bool> dsr;
    int lastDsr = -1;
};

// ---- the rows ----

void transfer(const DeviceRows::TransferRow& row)
{
    SimWinDevice dev(DeviceName, behaviourOf(row.device));
    {
        Driver line(dev);
        CHECK(line.open());
        const std::string out = pattern(64 * 1024, 1);
        const std::string in = pattern(48 * 1024, 2);
        for (int i = 0; i < int(out.size()); i += 1024) {
            int err = 0;
            CHECK(line.write(out.substr(std::size_t(i), 1024), &err) == 1024);
            dev.push(in.substr(std::size_t(i) * 3 / 4, 768));
            if (row.toggleLines)
                dev.setModemLines(i % 2048 == 0, i % 3072 == 0);
        }
        if (row.toggleLines)
            dev.setModemLines(true, true);
        CHECK(waitUntil([&] { return line.received().size() == in.size(); }));
        CHECK(waitUntil([&] { return line.outputEmpty(); }));
        CHECK(waitUntil([&] { return dev.line().size() == out.size(); }));
        CHECK(dev.line() == out);
        CHECK(line.received() == in);
        if (row.toggleLines)
            CHECK(waitUntil([&] {
                const std::vector<bool> seen = line.dsrReports();
                return !seen.empty() && seen.back();
            }));
        line.close();
    }
    CHECK(dev.openHandles() == 0);
}

void openFailures(const DeviceRows::OpenFailureRow& row)
{
    SimWinDevice::Behaviour b;
    b.failOpenStep = row.step; // the steps are the simulated device's own
    SimWinDevice dev(DeviceName, b);
    if (row.vanished)
        dev.vanish();
    Driver line(dev);
    CHECK(!line.open());
    CHECK(line.port == nullptr);
    CHECK(line.openErr != 0);
    CHECK(!SP::errorString(line.openErr).empty());
    CHECK(dev.openHandles() == 0);

    if (row.step == DeviceRows::FailEventSetup) {
        // The failure was passing: the next open works and its monitor runs.
        CHECK(line.open());
        dev.push("ok");
        CHECK(waitUntil([&] { return line.received() == "ok"; }));
        line.close();
        CHECK(dev.openHandles() == 0);
    }
}

void writeFailure(const DeviceRows::WriteFailureRow& row)
{
    SimWinDevice::Behaviour b;
    b.writeFailsAfter = row.failAfter;
    b.failError = row.error == DeviceRows::WriteGone ? GoneError : PassingError;
    SimWinDevice dev(DeviceName, b);
    Driver line(dev);
    CHECK(line.open());
    const std::string out = pattern(4000, 3);
    int err = 0;
    const long long first = line.write(out, &err);
    CHECK(first == row.firstResult);
    CHECK(err == int(b.failError));
    const long long taken = std::max<long long>(first, 0);
    if (row.healsAndRetries) {
        dev.healWrites();
        CHECK(line.write(out.substr(std::size_t(taken)), &err) == (long long)out.size() - taken);
        CHECK(waitUntil([&] { return line.outputEmpty(); }));
        sleepMs(50); // a wrongly kept copy would go out now
        CHECK(dev.line() == out);
    } else {
        CHECK(line.write(out.substr(std::size_t(taken)), &err) == -1);
        sleepMs(50);
        CHECK(dev.line() == out.substr(0, std::size_t(taken)));
    }
    line.close();
    CHECK(dev.openHandles() == 0);
}

// Not among the shared rows: a write the device fails while it is in flight reports the bytes
// it took, and none goes twice.
void writeFailsInFlight()
{
    SimWinDevice::Behaviour b;
    b.outCapacity = 512;
    b.drainPerMs = 64;
    b.writeFailsAfter = 1000;
    b.failError = GoneError;
    SimWinDevice dev(DeviceName, b);
    Driver line(dev);
    CHECK(line.open());
    const std::string out = pattern(4000, 7);
    int err = 0;
    CHECK(line.write(out, &err) == (long long)out.size());
    CHECK(waitUntil([&] { return line.pumpErr != 0; }));
    CHECK(line.pumpErr == int(GoneError));
    sleepMs(50);
    CHECK(dev.line() == out.substr(0, 1000));
    line.close();
    CHECK(dev.openHandles() == 0);
}

void closeBounded(const DeviceRows::CloseBoundedRow& row)
{
    SimWinDevice dev(DeviceName, behaviourOf(row.device));
    Driver line(dev);
    CHECK(line.open());
    CHECK(dev.rate() == 115200);
    const std::string out = pattern(64 * 1024, 4);
    int err = 0;
    CHECK(line.write(out, &err) == (long long)out.size());
    if (row.vanishFirst)
        dev.vanish();
    const long long ms = line.close();
    CHECK(ms < CloseBoundMs);
    CHECK(dev.openHandles() == 0);
    CHECK(dev.closeMs() == 0);
    CHECK((dev.discarded() > 0) == row.outputDiscarded);
    if (!row.vanishFirst) {
        CHECK(dev.line() == out);
        // The line settings found at open are back.
        CHECK(dev.rate() == DeviceRows::InitialRate);
    }
}

void deviceVanishes(const DeviceRows::DeviceVanishesRow& row)
{
    SimWinDevice dev(DeviceName, behaviourOf(DeviceRows::usbDevice()));
    Driver line(dev);
    CHECK(line.open());
    int err = 0;
    if (row.duringRead) {
        dev.push("abc");
        dev.vanish();
        CHECK(waitUntil([&] { return SP::inputQueue(line.port, &err) < 0; }));
        CHECK(SP::isGoneError(err));
        char c;
        CHECK(SP::readNow(line.port, &c, 1, &err) == -1);
        CHECK(SP::isGoneError(err));
        CHECK(std::string("abc").compare(0, line.received().size(), line.received()) == 0);
    } else {
        CHECK(line.write(pattern(1024, 5), &err) == 1024);
        dev.vanish();
        CHECK(waitUntil([&] { return line.write("x", &err) == -1; }));
        CHECK(SP::isGoneError(err));
    }
    CHECK(line.close() < CloseBoundMs);
    CHECK(dev.openHandles() == 0);
}

void idleWithoutPolling(const DeviceRows::IdleRow& row)
{
    SimWinDevice dev(DeviceName, behaviourOf(row.device));
    Driver line(dev);
    CHECK(line.open());
    if (row.pendingOutput) {
        int err = 0;
        CHECK(line.write(pattern(row.pendingOutput, 6), &err) == row.pendingOutput);
        CHECK(waitUntil([&] { return line.outputEmpty(); }));
    }
    sleepMs(100);
    const int waits = dev.waitCalls();
    const int reads = dev.modemReads();
    sleepMs(500);
    CHECK(dev.waitCalls() - waits <= 1);
    CHECK(dev.modemReads() == reads);

    dev.setModemLines(true, false);
    sleepMs(100);
    dev.setModemLines(true, true); // CTS alone: DSR unchanged, nothing to report
    sleepMs(100);
    dev.setModemLines(false, true);
    const std::vector<bool> reports =
        row.dsrReported ? std::vector<bool>{true, false} : std::vector<bool>();
    if (row.dsrReported)
        CHECK(waitUntil([&] { return line.dsrReports() == reports; }));
    sleepMs(100);
    CHECK(line.dsrReports() == reports);
    bool supported = false;
    int err = 0;
    CHECK((SP::modemStatus(line.port, &supported, &err) & (SP::ModemDsr | SP::ModemCts)) ==
          SP::ModemCts);

    CHECK(line.close() < CloseBoundMs);
    CHECK(dev.openHandles() == 0);
}

void linesAfterOpen(const DeviceRows::LinesAfterOpenRow& row)
{
    SimWinDevice dev(DeviceName, behaviourOf(DeviceRows::usbDevice()));
    Driver line(dev);
    // The port hands the platform the rate of its table, and for a code outside the table
    // leaves the one read from the device.
    CHECK(line.open(row.rate == DeviceRows::WorkerRate ? 0 : row.lineRate, row.hardwareFlow));
    CHECK(dev.rate() == row.lineRate);
    CHECK(dev.dtr());
    CHECK(dev.rts() == row.rts);
    line.close();
}

// Not among the shared rows (the terminal's poll has no such failure): an event wait that ends
// in an error is reported as such, once per call, so the monitor's pause keeps it from spinning.
void eventWaitFails(SimWinDevice::EventWaitFailure failure)
{
    SimWinDevice::Behaviour b = behaviourOf(DeviceRows::usbDevice());
    b.eventWaitFails = failure;
    b.failError = ERROR_IO_DEVICE;
    SimWinDevice dev(DeviceName, b);
    Driver line(dev);
    CHECK(line.open());
    sleepMs(50);
    const int waits = dev.waitCalls();
    const int failures = line.waitFailures;
    sleepMs(500);
    const int failed = line.waitFailures - failures;
    CHECK(failed >= 2);
    CHECK(dev.waitCalls() - waits <= failed + 1);
    CHECK(dev.waitCalls() - waits <= 500 / WaitFailurePauseMs + 2);
    CHECK(line.waitFailureErr == int(ERROR_IO_DEVICE));
    CHECK(line.close() < CloseBoundMs);
    CHECK(dev.openHandles() == 0);
}

int passed = 0;
int failed = 0;

void run(const std::string& name, const std::function<void()>& row)
{
    std::string why;
    try {
        row();
    } catch (const RowFailure& f) {
        why = f.what;
    }
    if (why.empty()) {
        ++passed;
        std::printf("PASS %s\n", name.c_str());
    } else {
        ++failed;
        std::printf("FAIL %s: %s\n", name.c_str(), why.c_str());
    }
    std::fflush(stdout);
}

void skip(const std::string& name, const char* why)
{
    std::printf("SKIP %s: %s\n", name.c_str(), why);
}

} // namespace

int main()
{
    for (const DeviceRows::TransferRow& row : DeviceRows::transferRows) {
        const std::string name = std::string("transfer: ") + row.name;
        // Win32 calls are not interrupted by signals: a row about interruptions alone has no
        // counterpart; in one with more to it, the rest runs.
        if (row.device.interruptedCalls && !row.toggleLines)
            skip(name, "no interrupted calls on Windows");
        else
            run(name, [&] { transfer(row); });
    }
    for (const DeviceRows::OpenFailureRow& row : DeviceRows::openFailureRows)
        run(std::string("openFailures: ") + row.name, [&] { openFailures(row); });
    for (const DeviceRows::WriteFailureRow& row : DeviceRows::writeFailureRows)
        run(std::string("writeFailure: ") + row.name, [&] { writeFailure(row); });
    run("writeFailure: write fails while in flight", writeFailsInFlight);
    for (const DeviceRows::CloseBoundedRow& row : DeviceRows::closeBoundedRows)
        run(std::string("closeBounded: ") + row.name, [&] { closeBounded(row); });
    for (const DeviceRows::DeviceVanishesRow& row : DeviceRows::deviceVanishesRows)
        run(std::string("deviceVanishes: ") + row.name, [&] { deviceVanishes(row); });
    for (const DeviceRows::IdleRow& row : DeviceRows::idleRows) {
        run(std::string("idleWithoutPolling: ") + row.name, [&] { idleWithoutPolling(row); });
    }
    for (const DeviceRows::LinesAfterOpenRow& row : DeviceRows::linesAfterOpenRows)
        run(std::string("linesAfterOpen: ") + row.name, [&] { linesAfterOpen(row); });
    run("eventWait: refused", [] { eventWaitFails(SimWinDevice::EventWaitRefused); });
    run("eventWait: completes with an error",
        [] { eventWaitFails(SimWinDevice::EventWaitResultFails); });
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
