#include "core/clip_naming.h"

#include "core/text_utf8.h"
#include "temp_dir.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <fstream>

namespace krel {
namespace {

namespace fs = std::filesystem;

std::tm at(int h, int m, int s) {
    std::tm t{};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 2;
    t.tm_mday = 7;
    t.tm_hour = h;
    t.tm_min = m;
    t.tm_sec = s;
    return t;
}

TEST(SanitizeName, ReplacesForbiddenAndCuts) {
    EXPECT_EQ(sanitizeName("Spiel: Teil 2? <Beta> \"x\" a/b\\c*d|e"), "Spiel_ Teil 2_ _Beta_ _x_ a_b_c_d_e");
    EXPECT_EQ(sanitizeName(std::string(80, 'a')), std::string(60, 'a'));
    // Characters, not bytes: 70 umlauts keep 60 whole ones.
    std::string umlauts;
    for (int i = 0; i < 70; ++i) umlauts += "ä";
    const std::string cut = sanitizeName(umlauts);
    EXPECT_EQ(cut.size(), 120u);
    EXPECT_EQ(cut.substr(118), "ä");
    EXPECT_EQ(sanitizeName("\x01\x02\t"), "___"); // only an empty name becomes "Aufnahme"
    EXPECT_EQ(sanitizeName(""), "Aufnahme");
    EXPECT_EQ(clipTimestamp(at(21, 14, 5)), "2026-03-07 21-14-05");
}

TEST(ClipNamer, ReservesCountsAndReleases) {
    test::TempDir dir;
    ClipNamer namer;
    namer.setClipDir(dir.path().string());
    // No source: the caller's prefix.
    EXPECT_EQ(namer.makeClipPath("Clip", at(21, 14, 5)), dir / "Clip 2026-03-07 21-14-05.mp4");
    EXPECT_EQ(namer.makeClipPath("Aufnahme", at(21, 14, 5)), dir / "Aufnahme 2026-03-07 21-14-05.mp4");

    namer.setSource("Mein: Spiel");
    const fs::path first = namer.makeClipPath("Clip", at(9, 0, 0));
    EXPECT_EQ(first, dir / "Mein_ Spiel 2026-03-07 09-00-00.mp4");
    // The first is only reserved, not yet on disk: the second gets " (2)".
    const fs::path second = namer.makeClipPath("Clip", at(9, 0, 0));
    EXPECT_EQ(second, dir / "Mein_ Spiel 2026-03-07 09-00-00 (2).mp4");
    // Existing entries of any kind count as taken.
    fs::create_directory(dir / "Mein_ Spiel 2026-03-07 09-00-00 (3).mp4");
    std::ofstream(dir / "Mein_ Spiel 2026-03-07 09-00-00 (4).mp4") << "x";
    EXPECT_EQ(namer.makeClipPath("Clip", at(9, 0, 0)), dir / "Mein_ Spiel 2026-03-07 09-00-00 (5).mp4");
    // A failed save drops its reservation; the name is free again.
    namer.release(first);
    EXPECT_FALSE(namer.reserved(first));
    EXPECT_EQ(namer.makeClipPath("Clip", at(9, 0, 0)), first);
}

// Names from foreign programs: bytes that are no UTF-8 and names too long
// for a file name once the time stamp and ".part" are added.
TEST(ClipNamer, UntrustedNamesGiveValidUtf8AndFileNamesWithin255Bytes) {
    EXPECT_EQ(sanitizeName("Spiel \xFF\xFE Eins \xC3"), "Spiel _ Eins _");
    EXPECT_EQ(sanitizeName("\xED\xA0\x80x\xC0\xAF"), "_x_"); // a surrogate and an overlong "/"
    EXPECT_NO_THROW(nlohmann::json(sanitizeName("\x80\x81 Titel \xF5")).dump());
    EXPECT_EQ(validUtf8("a\xFF\xFE" "b"), "a\xEF\xBF\xBD" "b");
    EXPECT_EQ(latin1ToUtf8("Caf\xE9 \xA9"), "Café ©");
    EXPECT_EQ(printable("Ti\ttel\x1B[31m \xC2\x85rot\x7F"), "Titel[31m rot");

    // 75 four-byte characters: 60 are kept (240 bytes), too long with the
    // 29 bytes of " YYYY-MM-DD HH-MM-SS.mp4.part"; the name is cut to 56.
    std::string wide;
    for (int i = 0; i < 75; ++i) wide += "\xF0\x9F\x8E\xAE";
    test::TempDir dir;
    ClipNamer namer;
    namer.setClipDir(dir.path().string());
    namer.setSource(wide);
    const fs::path first = namer.makeClipPath("Clip", at(9, 0, 0));
    const std::string name = first.filename().string();
    EXPECT_EQ(name, wide.substr(0, 56 * 4) + " 2026-03-07 09-00-00.mp4");
    // The counter takes its room from the name as well.
    const std::string second = namer.makeClipPath("Clip", at(9, 0, 0)).filename().string();
    EXPECT_EQ(second, wide.substr(0, 55 * 4) + " 2026-03-07 09-00-00 (2).mp4");
    for (const std::string& n : {name, second}) {
        EXPECT_LE(n.size() + 5, kMaxFileNameBytes);
        EXPECT_EQ(validUtf8(n), n);
        // The file system takes the longest name written.
        std::ofstream part(dir / (n + ".part"));
        EXPECT_TRUE(part.good()) << n;
    }
}

TEST(ClipNamer, RecreatesAMissingFolder) {
    test::TempDir dir;
    ClipNamer namer;
    const fs::path clips = dir / "weg" / "Clips";
    namer.setClipDir(clips.string());
    namer.makeClipPath("Clip");
    fs::remove_all(dir / "weg");
    const fs::path p = namer.makeClipPath("Clip");
    EXPECT_EQ(p.parent_path(), clips);
    EXPECT_TRUE(fs::is_directory(clips));
}

} // namespace
} // namespace krel
