#include "catalogue/Listing.h"

#include <algorithm>

#include "catalogue/ScanRules.h"
#include "platform/Text.h"

void ListingText::Add(std::string_view line, OnFailure onFailure) {
    text_.append(line);
    lines_.push_back({text_.size(), section_, onFailure});
}

void ListingText::WriteTo(platform::File& file) const {
    constexpr size_t kBatch = 65536;
    size_t next = 0;
    while (next < lines_.size()) {
        const size_t begin = Begin(next);
        size_t last = next;  // the batch is lines next..last
        while (last + 1 < lines_.size() && lines_[last + 1].end - begin <= kBatch) ++last;
        const size_t length = lines_[last].end - begin;
        const long long written = file.Write(text_.data() + begin, length);
        if (written == static_cast<long long>(length)) {
            next = last + 1;
            continue;
        }
        // The first line not written whole is the one that failed.
        const size_t reached = begin + static_cast<size_t>(std::max(written, 0LL));
        size_t failed = next;
        while (lines_[failed].end <= reached) ++failed;
        switch (lines_[failed].onFailure) {
            case OnFailure::Continue:
                next = failed + 1;
                break;
            case OnFailure::EndSection:
                next = failed + 1;
                while (next < lines_.size() && lines_[next].section == lines_[failed].section)
                    ++next;
                break;
            case OnFailure::EndListing:
                return;
        }
    }
}

void ListingText::WriteFile(const std::string& path) const {
    if (const auto file = platform::File::CreateReadOnly(path)) WriteTo(*file);
}

ListingText DevicesListing(const TDeviceList& common, const TServerList& servers) {
    static const std::string kCommon = platform::Cp1251("Общий список\r\n");
    static const std::string kCommonEmpty = platform::Cp1251("Общий список пуст\r\n");
    static const std::string kServer = platform::Cp1251("Сервер ");
    static const std::string kServerEmpty = platform::Cp1251("Cписок сервера пуст\r\n");
    using enum ListingText::OnFailure;
    ListingText listing;
    const auto addDevices = [&listing](const TDeviceList& list) {
        for (const auto& device : list) {
            listing.Add("\t" + FormatSerial(device->Serial) + "\r\n", EndSection);
        }
    };
    listing.Add(common.empty() ? kCommonEmpty : kCommon, Continue);
    listing.StartSection();
    addDevices(common);
    for (const auto& server : servers) {
        listing.StartSection();
        listing.Add(kServer + server->Address + ":" + std::to_string(server->Port) + "\r\n",
                    EndListing);
        if (server->Devices.empty()) listing.Add(kServerEmpty, EndListing);
        addDevices(server->Devices);
    }
    return listing;
}

ListingText PasswordsListing(const TPasswordList& list) {
    using enum ListingText::OnFailure;
    ListingText listing;
    listing.Add("Dev count: " + std::to_string(list.size()) + "\r\n", Continue);
    for (const auto& entry : list) {
        listing.Add(FormatSerial(entry->Serial) + "\t" + entry->Password + "\r\n", EndListing);
    }
    return listing;
}
