#include "CimXmlListener.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <regex>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace cimxml {

namespace {

std::string unescape(const std::string& text)
{
    static const std::pair<const char*, char> entities[] = {
        {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}, {"&amp;", '&'}};
    std::string plain;
    for (size_t at = 0; at < text.size();) {
        bool replaced = false;
        if (text[at] == '&') {
            for (const auto& entity : entities) {
                size_t length = strlen(entity.first);
                if (text.compare(at, length, entity.first) == 0) {
                    plain += entity.second;
                    at += length;
                    replaced = true;
                    break;
                }
            }
        }
        if (!replaced)
            plain += text[at++];
    }
    return plain;
}

bool sendAll(int connection, const std::string& data)
{
    for (size_t sent = 0; sent < data.size();) {
        ssize_t n = send(connection, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

// Reads one HTTP request with a Content-Length body; false on a malformed
// or cut request. Gives up after a few seconds of silence.
bool readRequest(int connection, std::string& headers, std::string& body)
{
    std::string data;
    char buffer[4096];
    size_t headerEnd = std::string::npos;
    size_t wanted = 0;
    for (;;) {
        if (headerEnd != std::string::npos && data.size() >= headerEnd + 4 + wanted)
            break;
        pollfd ready{connection, POLLIN, 0};
        if (poll(&ready, 1, 5000) <= 0)
            return false;
        ssize_t n = recv(connection, buffer, sizeof buffer, 0);
        if (n <= 0)
            return false;
        data.append(buffer, static_cast<size_t>(n));
        if (headerEnd == std::string::npos && (headerEnd = data.find("\r\n\r\n")) != std::string::npos) {
            std::smatch length;
            std::string head = data.substr(0, headerEnd);
            if (!std::regex_search(head, length, std::regex("\r\n[Cc]ontent-[Ll]ength:\\s*(\\d+)")))
                return false;
            wanted = std::stoul(length[1]);
        }
    }
    headers = data.substr(0, headerEnd);
    body = data.substr(headerEnd + 4, wanted);
    return true;
}

} // namespace

bool parseExportIndication(const std::string& body, Indication& indication)
{
    if (body.find("<EXPMETHODCALL NAME=\"ExportIndication\"") == std::string::npos)
        return false;
    std::smatch instance;
    if (!std::regex_search(body, instance, std::regex("<INSTANCE CLASSNAME=\"([^\"]+)\"[^>]*>([^]*?)</INSTANCE>")))
        return false;
    indication.className = instance[1];
    indication.properties.clear();
    const std::string content = instance[2];
    std::regex property("<PROPERTY NAME=\"([^\"]+)\"[^>]*>([^]*?)</PROPERTY>");
    for (auto it = std::sregex_iterator(content.begin(), content.end(), property); it != std::sregex_iterator();
         ++it) {
        const std::string inner = (*it)[2];
        std::smatch value;
        if (std::regex_search(inner, value, std::regex("<VALUE>([^<]*)</VALUE>")))
            indication.properties[(*it)[1]] = unescape(value[1]);
    }
    return true;
}

Listener::Listener()
{
    int wake[2];
    if (pipe(wake) != 0)
        throw std::runtime_error("pipe failed");
    m_wakeRead = wake[0];
    m_wakeWrite = wake[1];
    m_socket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (m_socket < 0 || bind(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
        || listen(m_socket, 16) != 0
        || getsockname(m_socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::string why = strerror(errno);
        if (m_socket >= 0)
            close(m_socket);
        close(m_wakeRead);
        close(m_wakeWrite);
        throw std::runtime_error("cannot listen on 127.0.0.1: " + why);
    }
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] { serve(); });
}

Listener::~Listener()
{
    (void)!write(m_wakeWrite, "x", 1);
    m_thread.join();
    close(m_socket);
    close(m_wakeRead);
    close(m_wakeWrite);
}

std::string Listener::url() const
{
    return "http://127.0.0.1:" + std::to_string(m_port);
}

std::vector<Indication> Listener::indications()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_indications;
}

std::vector<std::string> Listener::rejected()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_rejected;
}

bool Listener::waitFor(size_t count, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> guard(m_lock);
    return m_arrived.wait_for(guard, timeout, [&] { return m_indications.size() >= count; });
}

void Listener::serve()
{
    for (;;) {
        pollfd ready[2] = {{m_socket, POLLIN, 0}, {m_wakeRead, POLLIN, 0}};
        if (poll(ready, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (ready[1].revents != 0)
            return;
        int connection = accept4(m_socket, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection >= 0) {
            handle(connection);
            close(connection);
        }
    }
}

void Listener::handle(int connection)
{
    std::string headers, body;
    if (!readRequest(connection, headers, body)) {
        std::lock_guard<std::mutex> guard(m_lock);
        m_rejected.push_back(headers + "\n\n" + body);
        return;
    }
    Indication indication;
    std::smatch id;
    bool wellFormed = headers.rfind("POST ", 0) == 0 && parseExportIndication(body, indication)
        && std::regex_search(body, id, std::regex("<MESSAGE ID=\"([^\"]*)\""));
    if (!wellFormed) {
        sendAll(connection, "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        std::lock_guard<std::mutex> guard(m_lock);
        m_rejected.push_back(headers + "\n\n" + body);
        return;
    }
    std::string response = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
                           "<CIM CIMVERSION=\"2.0\" DTDVERSION=\"2.0\"><MESSAGE ID=\""
        + id[1].str()
        + "\" PROTOCOLVERSION=\"1.0\"><SIMPLEEXPRSP><EXPMETHODRESPONSE NAME=\"ExportIndication\">"
          "<IRETURNVALUE></IRETURNVALUE></EXPMETHODRESPONSE></SIMPLEEXPRSP></MESSAGE></CIM>\n";
    sendAll(connection, "HTTP/1.1 200 OK\r\nContent-Type: application/xml; charset=\"utf-8\"\r\n"
                        "CIMExport: MethodResponse\r\nContent-Length: "
                            + std::to_string(response.size()) + "\r\nConnection: close\r\n\r\n" + response);
    std::lock_guard<std::mutex> guard(m_lock);
    m_indications.push_back(indication);
    m_arrived.notify_all();
}

} // namespace cimxml
