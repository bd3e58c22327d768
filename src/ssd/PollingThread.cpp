#include "PollingThread.h"

#include "Config.h"
#include "SsdDevice.h"
#include "log.h"

#include <cassert>
#include <chrono>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <exception>
#include <sched.h>

PollingThread::PollingThread()
    : init(false)
    , ssdDevice(nullptr)
    , run_thread(false)
    , thread(0)
    , pollingRate(10)
    , currentPollNo(0)
{
    unsigned long configured = Config::GetInstance()->getPollRate();
    // The rate has no upper bound; one that does not fit means "as rarely as possible".
    pollingRate = configured > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(configured);
    Log(LEVEL_DEBUG, "PollingThread constructed - pollingRate=%d", static_cast<int>(pollingRate));
}

PollingThread::~PollingThread()
{
    if (thread != 0 && init)
        terminate();
    LogQuick(LEVEL_DEBUG, "PollingThread Destroyed");
}

bool PollingThread::initialise(SsdDevice* _ssdDevice)
{
    assert(init == false);
    if (_ssdDevice == nullptr) {
        LogQuick(LEVEL_ERROR, "PollingThread::initialise - _ssdDevice==NULL");
        return false;
    }
    Log(LEVEL_DEBUG, "PollingThread::initialise - _ssdDevice=0x%08" PRIxPTR, reinterpret_cast<std::uintptr_t>(_ssdDevice));
    ssdDevice = _ssdDevice;
    run_thread = true;
    int rc = pthread_create(&thread, nullptr, readThread, this);
    if (rc != 0) {
        Log(LEVEL_ERROR, "PollingThread::Start - failed to start readThread rc=0x%08x", static_cast<unsigned>(rc));
        return false;
    }
    init = true;
    sched_yield();
    Log(LEVEL_DEBUG, "PollingThread::Start - Thread started id=0x%08lx", static_cast<unsigned long>(thread));
    return true;
}

bool PollingThread::isStarted()
{
    return init;
}

void PollingThread::terminate()
{
    assert(init == true);
    if (!init) {
        LogQuick(LEVEL_ERROR, "PollingThread::terminate - Thread not started");
        return;
    }
    LogQuick(LEVEL_TRACE, "PollingThread::terminate entered");
    {
        std::lock_guard<std::mutex> guard(wakeLock);
        run_thread = false;
    }
    wake.notify_all();
    int rc = pthread_join(thread, nullptr);
    Log(LEVEL_DEBUG, "PollingThread::Terminate - pthread_join(0x%08lx, 0)...done rc=0x%08x",
        static_cast<unsigned long>(thread), static_cast<unsigned>(rc));
    init = false;
    thread = 0;
    LogQuick(LEVEL_DEBUG, "PollingThread::Terminate - thread terminated");
}

void PollingThread::doPoll()
{
    if (++currentPollNo == pollingRate) {
        currentPollNo = 0;
        ssdDevice->getSsdData();
    }
}

void PollingThread::sleepOnePass()
{
    std::unique_lock<std::mutex> guard(wakeLock);
    wake.wait_for(guard, std::chrono::seconds(1), [this] { return !run_thread; });
}

void* readThread(void* arg)
{
    LogQuick(LEVEL_DEBUG, "readThread - entered");
    puts("readThread - entered");
    fflush(stdout);
    assert(arg != nullptr);
    auto* self = static_cast<PollingThread*>(arg);
    while (self->run_thread) {
        // A failed poll (out of memory) must not end the process; the drive
        // is read again at its next turn.
        try {
            self->doPoll();
        } catch (const std::exception& error) {
            Log(LEVEL_ERROR, "readThread - poll failed: %s", error.what());
        } catch (...) {
            LogQuick(LEVEL_ERROR, "readThread - poll failed");
        }
        self->sleepOnePass();
    }
    LogQuick(LEVEL_DEBUG, "readThread - exited");
    return nullptr;
}
