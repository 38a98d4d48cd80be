// Packing then unpacking gives the table back: byte for byte for canonical tables, and for any other
// table exactly what the packed format keeps of it, each loss named in Normalise below.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <random>
#include <string>

#include "tables/dbf.h"
#include "tables/pack.h"
#include "tables/table_files.h"
#include "tables/unpack.h"

using namespace tarvix::tables;
using namespace tablestest;

namespace {

constexpr char kNumberText[] = "0123456789.-+ ";

class RoundTrip : public TableDir {
  protected:
    // Packs `table` as "T.DBF" and unpacks the packed file as the handheld would return it, as
    // "down.dbf" with the side file beside it when `with_side_file` and packing wrote one.
    Bytes Cycle(const Bytes& table, bool with_side_file, bool* side_file_written = nullptr) {
        for (const auto& name : Listing()) std::filesystem::remove(dir_ / name);
        Spill(At("T.DBF"), table);
        TablePacker packer;
        EXPECT_EQ(packer.bfPackTable(At("T.DBF")), 0) << packer.detail();
        if (side_file_written != nullptr) *side_file_written = packer.wrote_dbi();
        std::filesystem::copy_file(At("T.DBC"), At("down.dbf"));
        if (with_side_file && packer.wrote_dbi()) std::filesystem::copy_file(At("T.DBI"), At("down.dbi"));
        TableUnpacker unpacker;
        EXPECT_EQ(unpacker.bfUnpackTable(At("down.dbf")), UnpackOk) << unpacker.detail();
        EXPECT_FALSE(Exists("down.db$"));
        EXPECT_FALSE(Exists("down.dbi"));
        return Slurp(At("down.dbf"));
    }
};

std::string RandomName(std::mt19937& rng) {
    std::string name(1 + rng() % 10, 'A');
    for (char& c : name) c = static_cast<char>('A' + rng() % 26);
    return name;
}

TTable RandomCanonical(std::mt19937& rng) {
    TTable t;
    t.date[0] = static_cast<uint8_t>(rng());
    t.date[1] = static_cast<uint8_t>(1 + rng() % 12);
    t.date[2] = static_cast<uint8_t>(1 + rng() % 31);
    const size_t m = 1 + rng() % 12;
    for (size_t k = 0; k < m; ++k) {
        const bool number = rng() % 2 == 0;
        const auto length = static_cast<uint8_t>(number ? 1 + rng() % 20 : 1 + rng() % 60);
        t.fields.push_back(
            {RandomName(rng), number ? 'N' : 'C', length, static_cast<uint8_t>(number ? rng() % length : 0)});
    }
    const size_t count = rng() % 40;
    for (size_t r = 0; r < count; ++r) {
        std::string rec = " ";
        for (const auto& f : t.fields) {
            for (size_t i = 0; i < f.length; ++i) {
                rec +=
                    f.type == 'N' ? kNumberText[rng() % (sizeof kNumberText - 1)] : static_cast<char>(rng());
            }
        }
        t.records.push_back(rec);
    }
    return t;
}

TEST_F(RoundTrip, CanonicalTablesComeBackByteForByte) {
    std::mt19937 rng(20261210);
    for (int i = 0; i < 150; ++i) {
        const Bytes table = RandomCanonical(rng).Build();
        ASSERT_EQ(Cycle(table, false), table) << "table " << i;
    }
}

TEST_F(RoundTrip, TablesOfTheDbaseModuleComeBackByteForByte) {
    tarvix::dbf::Writer w;
    ASSERT_TRUE(w.Create(At("w.dbf"), {{"nid", 'N', 6, 0}, {"cid", 'C', 12, 0}, {"PA", 'N', 10, 2}}));
    for (int k = 1; k <= 20; ++k) {
        const std::string nid = std::to_string(k), cid = "C-" + nid, pa = std::to_string(k * 13) + ".5";
        const std::pair<std::string_view, std::string_view> rec[] = {{"nid", nid}, {"cid", cid}, {"pa", pa}};
        ASSERT_TRUE(w.Append(rec));
    }
    ASSERT_TRUE(w.Close());
    const Bytes table = Slurp(At("w.dbf"));
    EXPECT_EQ(Cycle(table, false), table);
}

// What the packed format keeps of a table: the table as unpacking rebuilds it.
Bytes Normalise(const TTable& t, bool side_file_used) {
    const bool scanned = t.version == 3 || t.version == 0x30;
    bool drop = false;
    if (scanned) {
        for (const auto& f : t.fields) {
            if ((f.flags & 3) != 0) {
                drop = true;
                break;
            }
            if (f.type == 'D') break;
        }
    }
    const size_t n = drop ? t.fields.size() - 1 : t.fields.size();
    const Bytes original = t.Build();
    Bytes out;
    if (side_file_used) {
        // Loss: the 0x30 area after the terminator comes back as zeros; everything else of the header
        // stands as the table had it.
        out.assign(original.begin(), original.begin() + t.header_length());
        const size_t terminator = 32 + 32 * t.fields.size();
        std::fill(out.begin() + terminator + 1, out.end(), 0);
    } else {
        // Loss: without the side file the header is rebuilt as version 3: reserved bytes zero, types
        // 'N' (for N, F, B) or 'C', names cut at their first NUL, flags and descriptor reserved bytes zero,
        // and a field left out by packing is gone.
        TTable r;
        std::memcpy(r.date, t.date, 3);
        for (size_t k = 0; k < n; ++k) {
            const TField& f = t.fields[k];
            const bool number = f.type == 'N' || f.type == 'F' || f.type == 'B';
            r.fields.push_back(
                {f.name.substr(0, std::strlen(f.name.c_str())), number ? 'N' : 'C', f.length, f.decimals});
        }
        r.records.assign(t.records.size(), std::string(r.record_length(), ' '));
        out = r.Build();
        out.resize(r.header_length());
    }
    for (const auto& rec : t.records) {
        // Loss: every record comes back live.
        out.push_back(' ');
        size_t at = 1;
        for (size_t k = 0; k < t.fields.size(); ++k) {
            const TField& f = t.fields[k];
            for (size_t i = 0; i < f.length; ++i) {
                const char c = rec[at + i];
                if (k >= n) {
                    // Loss: the left-out field comes back as NUL bytes, and only with the side file.
                    if (side_file_used) out.push_back(0);
                } else if (f.type == 'N' || f.type == 'F' || f.type == 'B') {
                    // Loss: in numeric fields every character but digits and . - + becomes a blank.
                    const bool kept = (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '+';
                    out.push_back(static_cast<uint8_t>(kept ? c : ' '));
                } else {
                    out.push_back(static_cast<uint8_t>(c));
                }
            }
            at += f.length;
        }
    }
    // Loss: whatever followed the records becomes the one end marker.
    out.push_back(0x1A);
    return out;
}

TTable RandomOther(std::mt19937& rng) {
    static const uint8_t versions[] = {3, 3, 0x30, 0x30, 0x83, 0x8B, 0xF5};
    static const char types[] = "CCNNFBDLMI0";
    TTable t;
    t.version = versions[rng() % sizeof versions];
    t.date[0] = static_cast<uint8_t>(rng());
    const size_t m = 2 + rng() % 10;
    for (size_t k = 0; k < m; ++k) {
        TField f{RandomName(rng), types[rng() % (sizeof types - 1)], static_cast<uint8_t>(1 + rng() % 30),
                 static_cast<uint8_t>(rng() % 4), static_cast<uint8_t>(rng() % 6 == 0 ? rng() % 8 : 0)};
        if (rng() % 5 == 0 && f.name.size() < 9) f.name += std::string("\0G", 2);  // bytes after the NUL
        t.fields.push_back(f);
    }
    const size_t count = rng() % 30;
    for (size_t r = 0; r < count; ++r) {
        std::string rec(t.record_length(), ' ');
        for (char& c : rec) c = static_cast<char>(rng());
        rec[0] = rng() % 3 == 0 ? '*' : ' ';
        t.records.push_back(rec);
    }
    if (t.version == 0x30) {
        t.area.resize(263);
        for (auto& b : t.area) b = static_cast<uint8_t>(rng());
    }
    t.end_marker = rng() % 4 != 0;
    return t;
}

TEST_F(RoundTrip, OtherTablesComeBackNormalised) {
    std::mt19937 rng(1210);
    int with_side_file = 0;
    for (int i = 0; i < 300; ++i) {
        const TTable t = RandomOther(rng);
        Bytes table = t.Build();
        // Reserved header bytes and descriptor bytes beyond the used ones hold anything.
        for (size_t at = 12; at < 32; ++at) table[at] = static_cast<uint8_t>(rng());
        for (size_t k = 0; k < t.fields.size(); ++k) table[32 + 32 * k + 20] = static_cast<uint8_t>(rng());
        if (!t.end_marker && rng() % 2 == 0) table.push_back('~');  // trailing garbage
        TTable stored = t;  // the table as built, for the side-file comparison
        for (bool side : {false, true}) {
            bool written = false;
            const Bytes back = Cycle(table, side, &written);
            Bytes want = Normalise(stored, side && written);
            if (side && written) {
                // The side file keeps the reserved bytes as the table had them.
                std::copy(table.begin() + 12, table.begin() + 32, want.begin() + 12);
                for (size_t k = 0; k < t.fields.size(); ++k) want[32 + 32 * k + 20] = table[32 + 32 * k + 20];
                ++with_side_file;
            }
            ASSERT_EQ(back, want) << "table " << i << " version " << int{t.version} << " side file " << side;
        }
    }
    EXPECT_GT(with_side_file, 30);
}

}  // namespace
