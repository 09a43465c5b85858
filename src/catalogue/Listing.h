// The two listing files of the catalogue, Devices.txt and DispPasswords.txt: their text, and the
// writing that lets a line that cannot be written end only the part of the listing it belongs to.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/Catalogue.h"
#include "platform/Files.h"

// Lines of a listing, each with what a failed write of it ends. Lines are written in batches of
// up to 64 KiB; a write that falls short is traced to the line it fell in, so the file ends up as
// if every line had been written on its own and that one had failed.
class ListingText {
  public:
    enum class OnFailure {
        Continue,    // the next line follows
        EndSection,  // the next section follows
        EndListing,  // nothing more is written
    };

    // Lines added from now on belong to a new section.
    void StartSection() { ++section_; }
    void Add(std::string_view line, OnFailure onFailure);
    const std::string& Text() const { return text_; }

    void WriteTo(platform::File& file) const;
    // Creates the file read-only (an existing read-only file is replaced) and writes the lines.
    // A file that cannot be created is passed over.
    void WriteFile(const std::string& path) const;

  private:
    struct Line {
        size_t end;
        size_t section;
        OnFailure onFailure;
    };
    size_t Begin(size_t index) const { return index == 0 ? 0 : lines_[index - 1].end; }

    std::string text_;
    std::vector<Line> lines_;
    size_t section_ = 0;
};

// Devices.txt: the common list in list order, then each server with its devices.
ListingText DevicesListing(const TDeviceList& common, const TServerList& servers);
// DispPasswords.txt: the count, then each entry.
ListingText PasswordsListing(const TPasswordList& list);
