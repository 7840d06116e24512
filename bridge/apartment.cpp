#include "apartment.h"

#include <windows.h>
#include <objbase.h>

#include <thread>

#include "log.h"
#include "protocol.h"

namespace bridge {
namespace {

// Holds an SRW lock exclusively for its scope.
class ExclusiveHold {
public:
    explicit ExclusiveHold(SRWLOCK& lock) : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
    ~ExclusiveHold() { ReleaseSRWLockExclusive(&lock_); }
    ExclusiveHold(const ExclusiveHold&) = delete;
    ExclusiveHold& operator=(const ExclusiveHold&) = delete;

private:
    SRWLOCK& lock_;
};

}  // namespace

void ApartmentCount::Add() {
    const std::lock_guard hold(lock_);
    ++alive_;
}

void ApartmentCount::Remove() {
    const std::lock_guard hold(lock_);
    --alive_;
    changed_.notify_all();
}

bool ApartmentCount::WaitForNone(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock hold(lock_);
    return changed_.wait_until(hold, deadline, [this] { return alive_ == 0; });
}

std::shared_ptr<Apartment> Apartment::Start(std::string name, ApartmentCount& count) {
    auto apartment = std::make_shared<Apartment>();
    count.Add();
    try {
        std::thread([apartment, name = std::move(name), &count] {
            apartment->Run(name);
            count.Remove();
        }).detach();
    } catch (...) {
        count.Remove();
        throw;
    }
    return apartment;
}

void Apartment::Post(Job job) {
    {
        const ExclusiveHold hold(lock_);
        jobs_.push_back(std::move(job));
    }
    WakeConditionVariable(&changed_);
}

void Apartment::Close() {
    {
        const ExclusiveHold hold(lock_);
        closed_ = true;
    }
    WakeConditionVariable(&changed_);
}

void Apartment::Run(const std::string& name) {
    // Without an apartment every creation fails and the page is told so.
    const HRESULT initialized = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (FAILED(initialized)) LogLine(name + ": no COM apartment for it");
    try {
        // Declared after the apartment began and gone before it ends: the
        // connection's objects are released on this thread.
        Session session(name);
        for (;;) {
            Job job;
            {
                const ExclusiveHold hold(lock_);
                while (!closed_ && jobs_.empty()) SleepConditionVariableSRW(&changed_, &lock_, INFINITE, 0);
                if (!jobs_.empty()) {
                    job = std::move(jobs_.front());  // moving a std::function does not throw
                    jobs_.pop_front();
                }
            }
            if (!job) break;
            job(session);
        }
    } catch (...) {
        // Memory ran out for a reply; the connection's objects are released.
        LogLine(name + ": out of memory");
    }
    if (SUCCEEDED(initialized)) CoUninitialize();
}

}  // namespace bridge
