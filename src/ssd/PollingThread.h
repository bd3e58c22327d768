#ifndef VEXLOR_POLLING_THREAD_H
#define VEXLOR_POLLING_THREAD_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <pthread.h>

class SsdDevice;

// The thread that reads one drive: a pass every second, a read of the drive
// every `pollingRate` passes, the first on the pollingRate-th pass.
class PollingThread {
public:
    PollingThread();
    ~PollingThread();
    PollingThread(const PollingThread&) = delete;
    PollingThread& operator=(const PollingThread&) = delete;

    bool initialise(SsdDevice* ssdDevice);
    bool isStarted();
    // Stops the thread and waits for it; a read in progress finishes first.
    void terminate();
    // One pass of the cadence counter.
    void doPoll();

private:
    friend void* readThread(void* arg);
    // Sleeps one pass, or less when terminate() asks the thread to stop.
    void sleepOnePass();

    bool init;
    SsdDevice* ssdDevice;
    std::atomic<bool> run_thread;
    pthread_t thread;
    std::uint32_t pollingRate;
    std::uint32_t currentPollNo;
    std::mutex wakeLock;
    std::condition_variable wake;
};

void* readThread(void* arg);

#endif
