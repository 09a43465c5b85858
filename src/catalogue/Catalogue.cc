#include "catalogue/Catalogue.h"

#include <algorithm>

#include "service/main.h"

TServerEntry* FindServer(const TServerList& list, const std::string& address, uint16_t port) {
    for (const auto& server : list) {
        if (server->Port == port && server->Address == address) return server.get();
    }
    return nullptr;
}

TGSMEntry* FindDevice(uint32_t serial, const TDeviceList& list) {
    return FindBySerial(list, serial, false);
}

namespace {

// The lists hold no duplicate serials, so std::sort gives the same order as an exchange sort
// would, at n log n.
template <class List>
void SortList(List& list) {
    std::sort(list.begin(), list.end(),
              [](const auto& a, const auto& b) { return a->Serial < b->Serial; });
}

}  // namespace

void SortBySerial(TDeviceList& list) { SortList(list); }
void SortBySerial(TPasswordList& list) { SortList(list); }

void TPelornDataLoader::ClearCatalogue() {
    FCommonList.clear();
    FServerList.clear();
}
