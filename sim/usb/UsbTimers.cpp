// The emulated USB bus: the timer thread, and what it paces: device ticks and delayed leaves.
#include "sim/usb/UsbBusPrivate.h"

namespace cvsim {

namespace {

// How long a restarting device waits for the host to take its last answer.
constexpr auto kLeaveGrace = std::chrono::milliseconds(50);

}  // namespace

void UsbBus::Impl::At(Clock::time_point when, std::function<void()> fn) {
    {
        std::lock_guard<std::mutex> hold(timer_mu);
        timers.emplace(when, std::move(fn));
    }
    timer_cv.notify_one();
}

void UsbBus::Impl::Timer_Loop() {
    std::unique_lock<std::mutex> lock(timer_mu);
    while (!stopping) {
        if (timers.empty()) {
            timer_cv.wait(lock);
            continue;
        }
        auto first = timers.begin();
        if (Clock::now() < first->first) {
            timer_cv.wait_until(lock, first->first);
            continue;
        }
        std::function<void()> fn = std::move(first->second);
        timers.erase(first);
        lock.unlock();
        fn();
        lock.lock();
    }
}

void UsbBus::Impl::Schedule_Tick(Dev &d) {
    uint32_t ms = d.model->Tick_Ms();
    if (!ms)
        return;
    uint64_t g = ++d.tick_gen;
    int id = d.id;
    At(Clock::now() + std::chrono::milliseconds(ms), [this, id, g] {
        std::lock_guard<std::mutex> hold(mu);
        Dev &dd = *devs[size_t(id)];
        if (dd.tick_gen != g || !dd.present)
            return;
        if (dd.owner) {
            std::vector<uint8_t> in;
            dd.model->Tick(in);
            dd.in_bytes.insert(dd.in_bytes.end(), in.begin(), in.end());
            Pump(dd);
        }
        Schedule_Tick(dd);
    });
}

// A device that restarts still sends the answer it gave before: it
// leaves the bus once the host has taken those bytes, or after
// kLeaveGrace when nobody reads them.
void UsbBus::Impl::Model_Effect(Dev &d, UsbDeviceModel::Effect e) {
    if (e.kind == UsbDeviceModel::Effect::Keep)
        return;
    d.leave.pending = true;
    d.leave.rejoin = e.kind == UsbDeviceModel::Effect::Rejoin;
    d.leave.away_ms = e.away_ms;
    uint64_t g = ++d.leave.gen;
    if (d.in_bytes.empty()) {
        Leave_Now(d);
        return;
    }
    int id = d.id;
    At(Clock::now() + kLeaveGrace, [this, id, g] {
        std::lock_guard<std::mutex> hold(mu);
        Dev &dd = *devs[size_t(id)];
        if (dd.leave.pending && dd.leave.gen == g)
            Leave_Now(dd);
    });
}

// Called with mu held; the test bed is changed off the handler thread.
void UsbBus::Impl::Leave_Now(Dev &d) {
    d.leave.pending = false;
    int id = d.id;
    uint32_t serial = d.opt.rejoin_serial;
    bool rejoin = d.leave.rejoin;
    uint32_t away = d.leave.away_ms;
    At(Clock::now(), [this, id, rejoin, away, serial] {
        Leave(id);
        if (rejoin)
            At(Clock::now() + std::chrono::milliseconds(away), [this, id, serial] { Rejoin(id, serial); });
    });
}

}  // namespace cvsim
