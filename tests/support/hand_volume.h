// The one volume builder of the tests: a volume record with its slice
// buffers, built by hand, seen as the library's record, as the sampling
// room's view of it, and as the reference sees it.
#pragma once

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "shader/volume_records.h"
#include "support/reference.h"

class HandVolume {
  public:
    // Slices given as bytes in buffer order; a slice given empty stays null.
    HandVolume(int filetype, int little_endian, int width, int height,
               const std::vector<std::vector<uint8_t>> &slices) {
        init(filetype, little_endian, width, height, int(slices.size()));
        for (size_t z = 0; z < slices.size(); ++z) {
            // uint16_t storage keeps 16-bit samples aligned.
            words_[z].assign((slices[z].size() + 1) / 2, 0);
            if (!slices[z].empty())
                std::memcpy(words_[z].data(), slices[z].data(), slices[z].size());
            table_[z] = slices[z].empty() ? nullptr : words_[z].data();
        }
    }
    // `depth` slices of random bytes; the slices listed in `missing` stay null.
    HandVolume(int filetype, int little_endian, int width, int height, int depth,
               const std::vector<int> &missing = {}, uint32_t seed = 1) {
        init(filetype, little_endian, width, height, depth);
        std::mt19937 random(seed);
        const FileTypeFacts *facts = file_type_facts(filetype);
        const size_t bytes =
            size_t(width) * height * (facts ? facts->sample_bytes * facts->channels : 1);
        for (int z = 0; z < depth; ++z) {
            words_[size_t(z)].resize((bytes + 1) / 2);
            for (uint16_t &word : words_[size_t(z)])
                word = uint16_t(random());
            table_[size_t(z)] = words_[size_t(z)].data();
        }
        for (int z : missing)
            table_[size_t(z)] = nullptr;
    }
    HandVolume(const HandVolume &) = delete; // the record points into its own buffers
    HandVolume &operator=(const HandVolume &) = delete;

    // The record; its shape may be edited to model a load that stopped.
    VolumeData &record() { return record_; }
    const VolumeData *get() const { return &record_; }
    // Leaves the record without slice tables.
    void drop_tables() { record_.slices8 = nullptr, record_.slices16 = nullptr; }
    nimbrel::VolumeView view() const { return nimbrel::volume_view(&record_); }
    reference::Volume reference() const {
        reference::Volume v;
        v.width = record_.width, v.height = record_.height, v.depth = record_.depth;
        v.filetype = record_.filetype, v.little_endian = record_.little_endian != 0;
        if (record_.slices8 || record_.slices16)
            for (size_t z = 0; z < table_.size() && z < size_t(std::max(record_.depth, 0)); ++z)
                v.slices.push_back(static_cast<const uint8_t *>(table_[z]));
        return v;
    }

  private:
    void init(int filetype, int little_endian, int width, int height, int depth) {
        std::memset(&record_, 0, sizeof record_);
        record_.width = width, record_.height = height, record_.depth = depth;
        record_.filetype = filetype, record_.little_endian = little_endian;
        words_.resize(size_t(depth));
        table_.resize(size_t(depth));
        const FileTypeFacts *facts = file_type_facts(filetype);
        if (facts && facts->sample_bytes == 2)
            record_.slices16 = reinterpret_cast<uint16_t **>(table_.data());
        else
            record_.slices8 = reinterpret_cast<uint8_t **>(table_.data());
    }

    VolumeData record_;
    std::vector<std::vector<uint16_t>> words_;
    std::vector<void *> table_;
};
