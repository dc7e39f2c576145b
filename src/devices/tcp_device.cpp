#include "devices/tcp_device.h"

#include <chrono>
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/sockets.h"
#include "runtime/runtime.h"

namespace {

namespace net = kelmor::platform;
using net::SocketHandle;
using net::kInvalidSocket;

constexpr uint16_t kFirstPort = 9100;
constexpr uint16_t kPortLimit = 9200;  // first port not tried
constexpr int32_t kBacklog = 10;
constexpr uint8_t kLoginNoticeTask = 68;
constexpr uint8_t kCarriageReturn = 13;
constexpr uint8_t kEscapeByte = 0x8F;
constexpr int32_t kEscapeTailSize = 5;

constexpr const char kLoginPrompt[] = "login: ";
constexpr const char kPasswordPrompt[] = "password: ";

// Port-function names, by code; 0 and everything past the end have none.
constexpr const char* kPortFunctionNames[] = {
    nullptr,
    "None",
    "Teach Pendant",
    "Console/SMON",
    "Floppy",
    "Floppy",
    "Zorva (handy) file",
    "Sensor interface",
    "Host Com",
    "Printer",
    "QRB",
    "CRT",
    "factory terminal",
    "TP DEMO DISPLAY",
    "Current Position",
    "Dev port",
    "PMC device",
    "Modem",
    "PPP",
    "Modem/PPP",
    "TRQB protocol driver",
    "TRQB protocol driver",
};
constexpr int32_t kPortFunctionCount = sizeof kPortFunctionNames / sizeof kPortFunctionNames[0];
constexpr const char* kUnknownFunction = "Unknown";
constexpr size_t kFunctionTextSize = 21;  // the longest name has 20 characters

template <typename T>
T ReadAt(const void* block, int32_t offset) {
    T value;
    std::memcpy(&value, static_cast<const uint8_t*>(block) + offset, sizeof value);
    return value;
}

// The name of the function configured for the serial port whose digit is given.
const char* PortFunctionName(int32_t portDigit) {
    void* table = ReadAt<void*>(rt_global_block(kSystemBlock), kPortSetupOffset);
    void* element = nullptr;
    if (table == nullptr || rt_var_get_element(table, portDigit, &element) != 0) {
        return kUnknownFunction;
    }
    const auto code = ReadAt<int32_t>(element, kPortFunctionOffset);
    if (code <= 0 || code >= kPortFunctionCount) {
        return kUnknownFunction;
    }
    return kPortFunctionNames[code];
}

void Prompt(SocketHandle client, const char* text) {
    net::SendBytes(client, reinterpret_cast<const uint8_t*>(text), static_cast<int32_t>(std::strlen(text)),
                   TcpDevice::kSendStallLimitMs);
}

// Throws the answer away, up to its carriage return. A closed, failed or
// silent connection ends the wait just the same, and so does the end of the
// limit while bytes keep coming: a receive finds them ready however little
// time is left, and one that returns within a millisecond may take nothing
// off the time left.
void DiscardAnswer(SocketHandle client) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TcpDevice::kLoginAnswerLimitMs);
    uint32_t millisecondsLeft = TcpDevice::kLoginAnswerLimitMs;
    uint8_t byte = 0;
    while (net::ReceiveBytes(client, &byte, 1, millisecondsLeft) == 1 && byte != kCarriageReturn &&
           std::chrono::steady_clock::now() < deadline) {
    }
}

int HexDigit(uint8_t digit) {
    const auto code = static_cast<int8_t>(digit);
    return code <= 64 ? code - 48 : code - 55;
}

// Gathers the five bytes after an escape byte, which may come in several
// segments; the count of those that came in time.
int32_t ReceiveEscapeTail(SocketHandle client, uint8_t* tail) {
    uint32_t millisecondsLeft = TcpDevice::kEscapeTailLimitMs;
    int32_t got = 0;
    while (got < kEscapeTailSize) {
        const int32_t received = net::ReceiveBytes(client, tail + got, kEscapeTailSize - got, millisecondsLeft);
        if (received <= 0) {
            break;
        }
        got += received;
    }
    return got;
}

}  // namespace

void TcpDevice::Start() {
    if (const int32_t result = net::StartSockets(); result != 0) {
        std::printf("[KELMOR] WSAStartup error 0x%x, 0x%x\n", static_cast<unsigned>(result),
                    static_cast<unsigned>(net::LastSocketError()));
        std::fflush(stdout);
        return;
    }
    listenSocket = net::OpenTcpSocket();
    if (listenSocket == kInvalidSocket) {
        return;
    }
    uint16_t port = kFirstPort;
    bool bound = false;
    for (;;) {
        if (net::BindToAnyAddress(listenSocket, port) == 0) {
            net::ListenForClients(listenSocket, kBacklog);
            bound = true;
            break;
        }
        ++port;
        if (net::LastSocketError() != net::kWsaAddressInUse || port >= kPortLimit) {
            break;
        }
    }
    if (!bound) {
        net::CloseSocket(listenSocket);
        listenSocket = kInvalidSocket;
        rt_console_printf("[KELMOR] Can't bind to any available ports\n");
        return;
    }
    rt_console_printf("[KELMOR] Ready for connections at %d\n", port);

    char functionText[kFunctionTextSize];
    std::strcpy(functionText, PortFunctionName(name[1] - '0'));
    rt_announce_service(service, functionText, 1, port);
}

uint32_t TcpDevice::FreeEndedEntries() {
    uint32_t firstFreed = clientCount;
    for (uint32_t i = 0; i < clientCount; ++i) {
        if (clients[i] != kInvalidSocket && net::ConnectionEnded(clients[i])) {
            net::CloseSocket(clients[i]);
            clients[i] = kInvalidSocket;
            firstFreed = std::min(firstFreed, i);
        }
    }
    return firstFreed;
}

bool TcpDevice::Poll() {
    bool nothingNew = true;
    net::ReadSet waiting;
    net::AddToReadSet(waiting, listenSocket);
    int failedAccepts = 0;
    while (net::SelectReadable(waiting) > 0) {
        nothingNew = false;
        const SocketHandle client = net::AcceptClient(listenSocket);
        if (client == kInvalidSocket) {
            // Out of descriptors, say: the connection stays queued for a later Poll.
            if (++failedAccepts >= kFailedAcceptLimit) {
                break;
            }
            continue;
        }
        uint32_t entry = 0;
        while (entry < clientCount && clients[entry] != kInvalidSocket) {
            ++entry;
        }
        if (entry == clientCount) {
            entry = FreeEndedEntries();
        }
        if (entry == clientCount) {
            void* grown = net::ResizeHeapBlock(clients, (static_cast<size_t>(clientCount) + 1) * sizeof *clients);
            if (grown == nullptr) {
                net::CloseSocket(client);
                continue;
            }
            clients = static_cast<SocketHandle*>(grown);
            ++clientCount;
        }
        clients[entry] = client;

        Prompt(client, kLoginPrompt);
        DiscardAnswer(client);
        Prompt(client, kPasswordPrompt);
        DiscardAnswer(client);
        SendLoginNotice();
    }
    return nothingNew;
}

void TcpDevice::Read(uint8_t* buffer, uint16_t* count) {
    net::ReadSet readable;
    for (uint32_t i = 0; i < clientCount; ++i) {
        if (clients[i] != kInvalidSocket && !net::AddToReadSet(readable, clients[i])) {
            break;  // a read set holds 64; the clients after them wait
        }
    }
    *count = 0;
    // Nothing is known of a failed look, so nobody is read.
    if (readable.count == 0 || net::SelectReadable(readable) <= 0) {
        return;
    }
    for (uint32_t i = 0; i < clientCount && *count == 0; ++i) {
        const SocketHandle client = clients[i];
        if (client == kInvalidSocket || !net::IsInReadSet(readable, client)) {
            continue;
        }
        uint32_t noWait = 0;
        if (net::ReceiveBytes(client, buffer, 1, noWait) != 1) {
            net::CloseSocket(client);
            clients[i] = kInvalidSocket;
            continue;
        }
        if (buffer[0] == kEscapeByte && ReceiveEscapeTail(client, escapeTail) == kEscapeTailSize) {
            buffer[0] = static_cast<uint8_t>(16 * HexDigit(escapeTail[3]) + HexDigit(escapeTail[4]));
        }
        *count = 1;
    }
}

void TcpDevice::Write(const uint8_t* data, uint16_t length) {
    for (uint32_t i = 0; i < clientCount; ++i) {
        if (clients[i] != kInvalidSocket && net::SendBytes(clients[i], data, length, kSendStallLimitMs) == -1) {
            net::CloseSocket(clients[i]);
            clients[i] = kInvalidSocket;
        }
    }
}

void TcpDevice::Dismount() {
    for (uint32_t i = 0; i < clientCount; ++i) {
        if (clients[i] != kInvalidSocket) {
            net::CloseSocket(clients[i]);
        }
        clients[i] = kInvalidSocket;
    }
    if (listenSocket != kInvalidSocket) {
        net::CloseSocket(listenSocket);
    }
    listenSocket = kInvalidSocket;
}

int32_t TcpDevice::SendLoginNotice() {
    Packet* notice = nullptr;
    if (const int32_t created = rt_create_packet(0, &notice, 0, F_LOGIN_NOTICE); created != 0) {
        return created;
    }
    notice->link = 0;
    notice->status = 0;
    notice->param2 = 0x7FFFFFFF;
    notice->param1 = 1;
    notice->actual = 23;
    notice->param3 = ReadAt<int32_t>(rt_global_block(kSystemBlock), kLoginWordOffset);
    const int32_t sent = rt_send_packet(notice, kLoginNoticeTask, 0, SEND_NEW, reinterpret_cast<uintptr_t>(notice));
    if (sent != 0 && rt_delete_packet(notice) != 0) {
        rt_assert(__FILE__, __LINE__, 0, 0, "assert(!stat)");
    }
    return sent;
}
