// Catalogue records: the data servers, the devices to ask each of them for, and the passwords
// that take precedence. The lists own their records; they are read and written on the loop
// thread (the download thread reads the server list only while no rescan can run).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// One device of a device list.
struct TGSMEntry {
    uint32_t Serial = 0;
    std::string Password;  // 1 to 8 characters as the scan admits them
};
using TDeviceList = std::vector<std::unique_ptr<TGSMEntry>>;

// One data server: the address and port of its folder's name and its own devices.
struct TServerEntry {
    std::string Address;
    uint16_t Port = 0;
    TDeviceList Devices;
};
using TServerList = std::vector<std::unique_ptr<TServerEntry>>;

// One password file: 8 characters filled with spaces and a zero byte, or an empty text.
struct TDispPassEntry {
    uint32_t Serial = 0;
    char Password[9] = {};
};
using TPasswordList = std::vector<std::unique_ptr<TDispPassEntry>>;

// The first server with this address (exact bytes) and port, or nullptr.
TServerEntry* FindServer(const TServerList& list, const std::string& address, uint16_t port);
// The first device of list with this serial, or nullptr.
TGSMEntry* FindDevice(uint32_t serial, const TDeviceList& list);

// First entry with the serial. With ordered set the list is taken to be ascending and the
// walk stops at the first serial not below the one sought.
template <class List>
auto FindBySerial(const List& list, uint32_t serial, bool ordered) -> decltype(list.front().get()) {
    for (const auto& e : list) {
        if (e->Serial == serial) return e.get();
        if (ordered && e->Serial > serial) break;
    }
    return nullptr;
}

// Sorts a list of serial-first records into ascending serial order. The lists it sorts hold
// no duplicate serials, so any correct sort gives the one result.
void SortBySerial(TDeviceList& list);
void SortBySerial(TPasswordList& list);
