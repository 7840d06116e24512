// The thread on which one connection's control objects live: a
// single-threaded COM apartment that runs the connection's requests one at
// a time, in order, and releases its objects there when the connection
// ends. A long print on one connection never holds another.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace bridge {

class Session;

// How many apartment threads are alive, so that an ending bridge can wait
// until each has released its objects.
class ApartmentCount {
public:
    void Add();
    void Remove();
    // Whether none is left by |deadline|.
    bool WaitForNone(std::chrono::steady_clock::time_point deadline);

private:
    std::mutex lock_;
    std::condition_variable changed_;
    int alive_ = 0;
};

class Apartment {
public:
    // A request to run on the apartment thread with the connection's share.
    using Job = std::function<void(Session&)>;

    // Starts the thread; |name| names the connection in the lines of its
    // refused requests. Throws std::system_error when no thread can be had.
    static std::shared_ptr<Apartment> Start(std::string name, ApartmentCount& count);

    // Queues |job| after the ones not yet run.
    void Post(Job job);
    // No more jobs: the thread runs those queued (a print a page sent before
    // it went away still goes out), releases the objects and ends.
    void Close();

private:
    void Run(const std::string& name);

    // The system's own lock and condition, not the threads runtime's: a
    // request waits on them, and under Wine these wake without a round trip
    // to the server.
    SRWLOCK lock_ = SRWLOCK_INIT;
    CONDITION_VARIABLE changed_ = CONDITION_VARIABLE_INIT;
    std::deque<Job> jobs_;
    bool closed_ = false;
};

}  // namespace bridge
