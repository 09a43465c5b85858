// PLACEHOLDER: catalogue records.
#include "catalogue/Catalogue.h"
#include "service/main.h"

TServerEntry* FindServer(const TServerList&, const std::string&, uint16_t) { return nullptr; }
TGSMEntry* FindDevice(uint32_t, const TDeviceList&) { return nullptr; }
void SortBySerial(TDeviceList&) {}
void SortBySerial(TPasswordList&) {}
void TPelornDataLoader::ClearCatalogue() {}
void TPelornDataLoader::UpdateServerList() {}
void TPelornDataLoader::UpdatePasswordList() {}
