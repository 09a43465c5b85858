// Writing of the listings when a line cannot be written: the line that fails decides what of the
// listing still follows.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "catalogue/Listing.h"
#include "platform/Text.h"

namespace {

// A file in which the bytes of one line cannot be written (as a bad spot would): a write that
// reaches the line stops before it and reports the bytes written so far; others succeed.
class BadSpotFile : public platform::File {
  public:
    explicit BadSpotFile(std::string badLine) : badLine_(std::move(badLine)) {}
    std::optional<uint64_t> Size() override { return content.size(); }
    long long Read(void*, size_t) override { return -1; }
    long long Write(const void* data, size_t count) override {
        ++writes;
        const std::string_view text(static_cast<const char*>(data), count);
        const size_t bad = text.find(badLine_);
        content.append(text.substr(0, bad));
        return bad == std::string_view::npos ? static_cast<long long>(count)
                                             : static_cast<long long>(bad);
    }
    std::string content;
    int writes = 0;

  private:
    std::string badLine_;
};

std::unique_ptr<TGSMEntry> Device(uint32_t serial) {
    return std::make_unique<TGSMEntry>(TGSMEntry{serial, "pw"});
}

std::string W(const char* utf8) { return platform::Cp1251(utf8); }

}  // namespace

TEST(CatalogueListing, FailedLineEndsItsPartOfDevicesListing) {
    TDeviceList common;
    common.push_back(Device(1000001));
    common.push_back(Device(1000002));
    TServerList servers;
    for (const char* address : {"10.0.0.1", "10.0.0.2", "10.0.0.3"}) {
        servers.push_back(std::make_unique<TServerEntry>());
        servers.back()->Address = address;
        servers.back()->Port = 2226;
    }
    servers[0]->Devices.push_back(Device(2000001));
    servers[0]->Devices.push_back(Device(2000002));
    servers[2]->Devices.push_back(Device(3000001));
    const std::string head = W("Общий список\r\n");
    const std::string c1 = "\t1000001\r\n", c2 = "\t1000002\r\n";
    const std::string s1 = W("Сервер 10.0.0.1:2226\r\n"), d1 = "\t2000001\r\n",
                      d2 = "\t2000002\r\n";
    const std::string s2 = W("Сервер 10.0.0.2:2226\r\n"), e2 = W("Cписок сервера пуст\r\n");
    const std::string s3 = W("Сервер 10.0.0.3:2226\r\n"), d3 = "\t3000001\r\n";
    const std::string all = head + c1 + c2 + s1 + d1 + d2 + s2 + e2 + s3 + d3;
    struct Case {
        std::string badLine;
        std::string expected;
    } cases[] = {
        {"no such line", all},
        {head, c1 + c2 + s1 + d1 + d2 + s2 + e2 + s3 + d3},  // the first line is passed over
        {c1, head + s1 + d1 + d2 + s2 + e2 + s3 + d3},       // the rest of the common list goes
        {d1, head + c1 + c2 + s1 + s2 + e2 + s3 + d3},       // the rest of that server goes
        {s2, head + c1 + c2 + s1 + d1 + d2},                 // a heading ends the listing
        {e2, head + c1 + c2 + s1 + d1 + d2 + s2},            // as does the empty marker
        {d3, head + c1 + c2 + s1 + d1 + d2 + s2 + e2 + s3},
    };
    const ListingText listing = DevicesListing(common, servers);
    EXPECT_EQ(listing.Text(), all);
    for (const auto& c : cases) {
        BadSpotFile file(c.badLine);
        listing.WriteTo(file);
        EXPECT_EQ(file.content, c.expected) << platform::Utf8FromCp1251(c.badLine);
    }
}

TEST(CatalogueListing, FailedLineEndsPasswordsListing) {
    TPasswordList list;
    for (uint32_t serial : {1u, 12345u, 9999999u}) {
        list.push_back(std::make_unique<TDispPassEntry>());
        list.back()->Serial = serial;
        std::memcpy(list.back()->Password, "abc     ", 9);
    }
    const ListingText listing = PasswordsListing(list);
    const std::string head = "Dev count: 3\r\n", a = "0000001\tabc     \r\n",
                      b = "0012345\tabc     \r\n", c = "9999999\tabc     \r\n";
    EXPECT_EQ(listing.Text(), head + a + b + c);
    const std::pair<std::string, std::string> cases[] = {
        {head, a + b + c},
        {b, head + a},
    };
    for (const auto& [badLine, expected] : cases) {
        BadSpotFile file(badLine);
        listing.WriteTo(file);
        EXPECT_EQ(file.content, expected) << badLine;
    }
}

TEST(CatalogueListing, LargeListingIsWrittenInFewWrites) {
    TDeviceList common;
    for (uint32_t serial = 1000000; serial < 1100000; ++serial) common.push_back(Device(serial));
    const ListingText listing = DevicesListing(common, {});
    BadSpotFile whole("no such line");
    listing.WriteTo(whole);
    EXPECT_EQ(whole.content, listing.Text());
    EXPECT_LE(whole.writes, 20);
    // A failure deep inside a batch still ends the common list at that very line.
    BadSpotFile broken("\t1050000\r\n");
    listing.WriteTo(broken);
    EXPECT_EQ(broken.content, listing.Text().substr(0, listing.Text().find("\t1050000\r\n")));
}
