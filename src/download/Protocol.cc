// The exchange with one data server: the request packet, the connection, the answer read into
// one buffer and handed to the store block by block as its bytes come in.
#include <algorithm>
#include <cstring>
#include <memory>
#include <thread>

#include "download/OnlineClient.h"
#include "platform/Files.h"
#include "platform/Text.h"
#include "service/main.h"

namespace net = platform::net;

namespace {

constexpr uint32_t kMinAnswerLength = 10;
constexpr uint32_t kMaxAnswerLength = 500u * 1048576u;
constexpr uint32_t kRequestEntryLength = 26;
constexpr uint32_t kAnswerBlockLength = 24;
constexpr uint32_t kMaxAnswerSerial = 9999999;
// A bounded read asks for at most this much, so that the blocks complete by then reach the
// archive while a long answer is still streaming in: a server that sends steadily never pauses
// for a whole readiness wait, and the read would otherwise end only with the answer.
constexpr uint32_t kReadChunk = 64u << 10;

struct Messages {
    std::string noWinsock = platform::Cp1251("Невозможно установить соединение");
    std::string oldWinsock = platform::Cp1251("Старая версия Windows Sockets DLL");
    std::string noSocket = platform::Cp1251("Ошибка сокета");
    std::string noAddress = platform::Cp1251("Невозможно определить ip-адрес удалённого сервера");
    std::string noConnect = platform::Cp1251("Ошибка подключения к удалённому серверу");
    std::string sendFailed = platform::Cp1251("Ошибка при передаче запроса");
    std::string noAnswer = platform::Cp1251("Удалённый сервер не отвечает");
    std::string noMemory = platform::Cp1251("Недостаточно памяти для приёма ответа");
    std::string badHeader = platform::Cp1251("Ошибка в заголовке ответа");
    std::string badLength = platform::Cp1251("Неверная длина ответа");
    std::string storeFailed = platform::Cp1251("Ошибки при сохранении данных");
    std::string readFailed = platform::Cp1251("Ошибка при получении ответа");
    std::string noNewData = platform::Cp1251("Нет новых данных");
};

const Messages& Text() {
    static const Messages messages;
    return messages;
}

void Put16(char* at, uint16_t v) {
    for (int i = 0; i < 2; ++i) at[i] = static_cast<char>(v >> (8 * i));
}
void Put32(char* at, uint32_t v) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<char>(v >> (8 * i));
}
uint16_t Get16(const char* at) {
    return static_cast<uint16_t>(static_cast<uint8_t>(at[0]) | static_cast<uint8_t>(at[1]) << 8);
}
uint32_t Get32(const char* at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(at[i]);
    return v;
}

bool HasData(uint16_t answerType) { return answerType == 2 || answerType == 4; }

// End - Start as the signed 32-bit difference the answer's arithmetic is defined with.
int32_t BlockLength(const TDevFilesRequest& item) {
    return static_cast<int32_t>(item.End - item.Start);
}

}  // namespace

void TOnlineClientThread::ExchangeRequests() {
    exchangeStored_ = 0;
    const uint32_t n = static_cast<uint32_t>(FRequests.size());
    std::string packet(10 + kRequestEntryLength * n, '\0');
    char* at = packet.data();
    Put32(at, static_cast<uint32_t>(packet.size()));
    Put16(at + 4, FMode);
    Put32(at + 6, n);
    at += 10;
    for (const auto& request : FRequests) {
        Put32(at, kRequestEntryLength);
        Put32(at + 4, request->Serial);
        std::memcpy(at + 8, request->Password, 8);
        std::memcpy(at + 16, request->Date, 6);
        Put32(at + 22, request->Start);
        at += kRequestEntryLength;
    }
    SendPacket(packet);
}

void TOnlineClientThread::SendPacket(const std::string& packet) {
    uint16_t version = 0;
    if (!net::Startup(version)) {
        FMessage = Text().noWinsock;
        return;
    }
    const net::SocketHandle socket = version == 0x0002 ? net::CreateTcpSocket() : net::kInvalidSocket;
    if (version != 0x0002) {
        FMessage = Text().oldWinsock;
    } else if (socket == net::kInvalidSocket) {
        FMessage = Text().noSocket;
    } else {
        const TServerEntry& server = *module_.FServerList[FServerIndex];
        const auto address = net::ResolveIPv4(server.Address);
        if (!address) {
            FMessage = Text().noAddress;
        } else if (!net::Connect(socket, *address, server.Port)) {
            FMessage = Text().noConnect;
        } else if (net::Send(socket, packet.data(), packet.size()) !=
                   static_cast<long long>(packet.size())) {
            FMessage = Text().sendFailed;
        } else {
            WaitAnswer(socket);
        }
    }
    // The socket is closed on every path, also when the address could not be found.
    net::ShutdownAndClose(socket);
    net::Cleanup();
}

void TOnlineClientThread::WaitAnswer(net::SocketHandle socket) {
    platform::Clock& clock = module_.Clock();
    const uint32_t start = clock.Ticks();
    std::optional<uint32_t> length;
    while (!Terminated() && clock.Ticks() - start < timeouts_.lengthWaitMs) {
        const uint32_t sliceStart = clock.Ticks();
        const auto ready = net::WaitReadable(socket, timeouts_.readinessWaitMs);
        if (ready == net::WaitResult::Failed) break;
        if (ready == net::WaitResult::TimedOut) continue;
        char peeked[4];
        const long long got = net::Receive(socket, peeked, sizeof peeked, true);
        if (got <= 0) break;  // a failed read, or the server has closed the connection
        if (got == 4) {
            length = Get32(peeked);
            break;
        }
        // Part of the length is in and the socket stays readable: a server that has closed
        // will send no more, any other gets the rest of the slice before the next peek.
        if (net::PeerClosed(socket)) break;
        const uint32_t spent = clock.Ticks() - sliceStart;
        if (spent < timeouts_.readinessWaitMs)
            std::this_thread::sleep_for(
                std::chrono::milliseconds(timeouts_.readinessWaitMs - spent));
    }
    if (Terminated()) return;
    if (length && *length >= kMinAnswerLength && *length <= kMaxAnswerLength)
        ReadAnswer(socket, *length);
    else
        FMessage = Text().noAnswer;
}

long long TOnlineClientThread::ReceiveSome(net::SocketHandle socket, char* destination,
                                           uint32_t waitMs, uint32_t wanted) {
    long long got = 0;
    while (!Terminated() && got < wanted) {
        const auto ready = net::WaitReadable(socket, waitMs);
        if (ready == net::WaitResult::Failed) return got > 0 ? got : -1;
        if (ready == net::WaitResult::TimedOut) return got;
        const long long n =
            net::Receive(socket, destination + got, static_cast<size_t>(wanted - got), false);
        // A close by the server counts as a failed read. Bytes already read in this call are
        // still reported: the failure shows at the next call, and nothing that arrived is lost.
        if (n <= 0) return got > 0 ? got : -1;
        got += n;
    }
    return got;
}

void TOnlineClientThread::ReadAnswer(net::SocketHandle socket, uint32_t length) {
    const net::ReceiveBuffer buffer = net::AllocateReceiveBuffer(length);
    if (!buffer) {
        FMessage = Text().noMemory;
        return;
    }
    char* const answer = buffer.get();
    FAnswerItems.clear();
    storeNext_ = 0;
    storeOffset_ = 0;
    uint32_t received = 0;
    FReceived = 0;
    bool lengthRead = false, handled = false, accepted = false;
    bool storeFailed = false, complete = false;
    uint16_t answerType = 0;
    uint32_t blockCount = 0;
    uint64_t expected = 0;
    platform::Clock& clock = module_.Clock();
    uint32_t silenceStart = clock.Ticks();
    while (!Terminated() && clock.Ticks() - silenceStart < timeouts_.silenceMs) {
        const long long got = ReceiveSome(socket, answer + received, timeouts_.readinessWaitMs,
                                          std::min(length - received, kReadChunk));
        if (got < 0) break;
        if (got == 0) continue;
        received += static_cast<uint32_t>(got);
        FReceived = static_cast<int32_t>(received);
        if (!lengthRead && received >= 10) {
            answerType = Get16(answer + 4);
            blockCount = Get32(answer + 6);
            FHeaderLength = 10 + uint64_t{kAnswerBlockLength} * blockCount;
            lengthRead = true;
        }
        if (lengthRead && !handled && received >= FHeaderLength) {
            accepted = CheckAnswerHeader(answer, answerType, blockCount, expected);
            FDataFolderReady = platform::DirExists(FExchangeDataFolder);
            handled = true;
        }
        if (handled && accepted && HasData(answerType) && !StoreAnswerData(answer, false))
            storeFailed = true;
        if (received == length) {
            complete = true;
            break;
        }
        silenceStart = clock.Ticks();
    }

    if (complete) {
        if (accepted && (!HasData(answerType) || expected <= length)) {
            if (!FMoreData) Synchronize([this] { ReportNoNewData(); });
            if (storeFailed && !Terminated()) FMessage = Text().storeFailed;
        } else if (accepted) {
            if (!Terminated()) FMessage = Text().badLength;
        } else if (!Terminated()) {
            FMessage = Text().badHeader;
        }
    } else {
        if (accepted && !StoreAnswerData(answer, true)) {
            FMessage = Text().storeFailed;
            LogMessage();
            FMessage.clear();
        }
        if (!Terminated()) FMessage = Text().readFailed;
    }
    FAnswerItems.clear();
}

bool TOnlineClientThread::CheckAnswerHeader(const char* answer, uint16_t answerType,
                                            uint32_t blockCount, uint64_t& expectedLength) {
    expectedLength = FHeaderLength;
    const bool inGroup = FMode == 2   ? answerType == 1 || answerType == 2
                         : FMode == 4 ? answerType == 3 || answerType == 4
                                      : false;
    if (!inGroup) return false;
    if (blockCount == 0) return true;
    FAnswerItems.reserve(blockCount);
    const char* block = answer + 10;
    for (uint32_t i = 0; i < blockCount; ++i, block += kAnswerBlockLength) {
        const uint32_t serial = Get32(block + 4);
        if (Get32(block) != kAnswerBlockLength || serial == 0 || serial > kMaxAnswerSerial)
            return false;
        auto item = MakeAnswerItem(block);
        if (item->More && HasData(answerType) && item->Start <= item->End) FMoreData = true;
        const int32_t blockLength = BlockLength(*item);
        if (blockLength > 0) expectedLength += static_cast<uint32_t>(blockLength);
        FAnswerItems.push_back(std::move(item));
    }
    return true;
}

std::unique_ptr<TDevFilesRequest> TOnlineClientThread::MakeAnswerItem(const char* block) {
    auto item = std::make_unique<TDevFilesRequest>();
    item->Serial = Get32(block + 4);
    std::memcpy(item->Date, block + 8, 6);
    item->Start = Get32(block + 14);
    item->End = Get32(block + 18);
    item->More = static_cast<uint8_t>(block[22]);
    int index = std::min<int>(static_cast<uint8_t>(block[23]), 1);
    if (FileKind(FMode, index).empty()) index = 0;
    item->ExtIndex = static_cast<uint8_t>(index);
    const std::string_view kind = FileKind(FMode, index);
    std::memcpy(item->Ext, kind.data(), std::min(kind.size(), sizeof item->Ext - 1));
    item->Done = 0;
    for (const auto& request : FRequests) {
        if (request->Serial == item->Serial) {
            item->Label = request->Label;
            break;
        }
    }
    return item;
}

bool TOnlineClientThread::StoreAnswerData(const char* answer, bool partialAllowed) {
    // Items before storeNext_ are stored whole or own no bytes, so each call resumes there
    // instead of walking a long answer's items from the first again after every read.
    bool ok = true;
    bool settled = true;
    uint64_t offset = storeNext_ == 0 ? FHeaderLength : storeOffset_;
    for (size_t i = storeNext_; i < FAnswerItems.size(); ++i) {
        TDevFilesRequest& item = *FAnswerItems[i];
        const int32_t blockLength = BlockLength(item);
        if (blockLength >= 0 && !item.Done) {
            const uint32_t count = static_cast<uint32_t>(blockLength);
            const int64_t available = static_cast<int64_t>(FReceived) - static_cast<int64_t>(offset);
            if (available >= count) {
                if (AppendBlock(item, answer, offset, count)) {
                    item.Done = 1;
                    exchangeStored_ += count;
                } else {
                    ok = false;
                }
            } else if (partialAllowed && available > 0) {
                if (AppendBlock(item, answer, offset, static_cast<uint32_t>(available)))
                    exchangeStored_ += static_cast<uint64_t>(available);
                else
                    ok = false;
            }
        }
        if (blockLength >= 0) {
            if (settled && !item.Done) settled = false;
            offset += static_cast<uint32_t>(blockLength);
        }
        if (settled) {
            storeNext_ = i + 1;
            storeOffset_ = offset;
        }
    }
    return ok;
}

void TOnlineClientThread::ReportNoNewData() {
    if (!FAnswerItems.empty()) return;
    FMessage = Text().noNewData;
    LogMessage();
    FMessage.clear();
}
