#include "library/clip_library.h"

#include "clip_folder.h"

#include <gtest/gtest.h>

namespace krel {
namespace {

namespace fs = std::filesystem;

int64_t sizeOf(const fs::path& p) {
    return static_cast<int64_t>(fs::file_size(p));
}

TEST(ClipList, ListsOnlyMp4FilesAndCountsEveryFile) {
    test::ClipFolder folder;
    const fs::path named = folder.addClip("Elden Ring 2024-05-01 20-15-33.mp4", 2'000'000'000'000);
    const fs::path upper = folder.addClip("AUFNAHME.MP4", 1'000'000'000'000);
    const fs::path part = folder.addClip("Elden Ring 2024-05-01 20-16-00.mp4.part");
    const fs::path text = folder.addFile("notiz.txt", "nicht listen");

    const auto clips = listClips(folder.path());
    ASSERT_EQ(clips.size(), 2u);
    EXPECT_EQ(clips[0].file, "Elden Ring 2024-05-01 20-15-33.mp4");
    EXPECT_EQ(clips[0].game, "Elden Ring");
    EXPECT_EQ(clips[0].size, sizeOf(named));
    EXPECT_EQ(clips[0].modified, 2'000'000'000'000);
    EXPECT_FALSE(clips[0].favorite);
    EXPECT_EQ(clips[1].file, "AUFNAHME.MP4");
    EXPECT_EQ(clips[1].game, "");
    EXPECT_EQ(clips[1].modified, 1'000'000'000'000);
    EXPECT_EQ(folderBytes(folder.path()), sizeOf(named) + sizeOf(upper) + sizeOf(part) + sizeOf(text));
}

TEST(ClipList, NewestFirstGameCutAtFirstYearAndFavouritesMarked) {
    test::ClipFolder folder;
    folder.addClip("Forza Horizon 2012 2024-01-02 10-00-00.mp4", 1'000);
    folder.addClip("Aufnahme 2025-03-04 11-00-00.mp4", 3'000);
    folder.addClip("Über 2023-01-01 00-00-00.mp4", 2'000);
    setFavorite(folder.path(), "Über 2023-01-01 00-00-00.mp4", true);
    setFavorite(folder.path(), "gibt es nicht.mp4", true); // stale names mark nothing

    const auto clips = listClips(folder.path());
    ASSERT_EQ(clips.size(), 3u);
    EXPECT_EQ(clips[0].game, "Aufnahme");
    EXPECT_EQ(clips[1].game, "Über");
    EXPECT_TRUE(clips[1].favorite);
    EXPECT_EQ(clips[2].game, "Forza Horizon"); // a title's own " 20" cuts it
    EXPECT_FALSE(clips[0].favorite || clips[2].favorite);
}

// Links are neither listed nor counted, wherever they point; folders named
// like clips are no clips; a folder that is gone lists nothing.
TEST(ClipList, SkipsLinksFoldersAndMissingFolders) {
    test::ClipFolder outside, folder;
    const fs::path target = outside.addClip("Ziel 2024-01-01 00-00-00.mp4");
    fs::create_symlink(target, folder / "Link 2024-01-01 00-00-00.mp4");
    fs::create_directory_symlink(outside.path(), folder / "Ordnerlink.mp4");
    fs::create_directory(folder / "Ordner.mp4");
    const fs::path real = folder.addClip("Echt 2024-01-01 00-00-00.mp4");

    const auto clips = listClips(folder.path());
    ASSERT_EQ(clips.size(), 1u);
    EXPECT_EQ(clips[0].file, "Echt 2024-01-01 00-00-00.mp4");
    EXPECT_EQ(folderBytes(folder.path()), sizeOf(real));

    EXPECT_TRUE(listClips(folder / "gelöscht").empty());
    EXPECT_EQ(folderBytes(folder / "gelöscht"), 0);
    EXPECT_TRUE(listClips(real).empty()); // a file, not a folder
}

} // namespace
} // namespace krel
