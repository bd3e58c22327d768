// A CIM-XML indication listener for tests: an HTTP server on 127.0.0.1 at a
// free port that answers every ExportIndication request as a listener must
// and keeps the indication instances it received.
#ifndef VEXLOR_TESTS_CIM_XML_LISTENER_H
#define VEXLOR_TESTS_CIM_XML_LISTENER_H

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace cimxml {

struct Indication {
    std::string className;
    std::map<std::string, std::string> properties;   // name to the text of its VALUE
};

// The indication instance carried by one ExportIndication request body;
// false when the body carries none.
bool parseExportIndication(const std::string& body, Indication& indication);

class Listener {
public:
    Listener();   // binds and starts serving; throws std::runtime_error if it cannot
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    int port() const { return m_port; }
    std::string url() const;

    std::vector<Indication> indications();
    // Waits until at least `count` indications have arrived.
    bool waitFor(size_t count, std::chrono::milliseconds timeout);
    // Requests that were not a well-formed ExportIndication.
    std::vector<std::string> rejected();

private:
    void serve();
    void handle(int connection);

    int m_socket = -1;
    int m_wakeRead = -1;
    int m_wakeWrite = -1;
    int m_port = 0;
    std::mutex m_lock;
    std::condition_variable m_arrived;
    std::vector<Indication> m_indications;
    std::vector<std::string> m_rejected;
    std::thread m_thread;
};

} // namespace cimxml

#endif
