#include "library/clip_library.h"

#include "clip_folder.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

namespace krel {
namespace {

namespace fs = std::filesystem;

TEST(Favorites, OnAndOffLeavesAnEmptyHiddenFileWrittenInUtf16Order) {
    test::ClipFolder folder;
    // U+FF21 sorts after U+1F3AE in UTF-16 although its code point is lower.
    setFavorite(folder.path(), "\xEF\xBC\xA1.mp4", true);
    setFavorite(folder.path(), "\xF0\x9F\x8E\xAE.mp4", true);
    setFavorite(folder.path(), "b.mp4", true);
    setFavorite(folder.path(), "b.mp4", true);
    EXPECT_EQ(folder.readFavoritesFile(), "b.mp4\n\xF0\x9F\x8E\xAE.mp4\n\xEF\xBC\xA1.mp4\n");

    setFavorite(folder.path(), "b.mp4", false);
    setFavorite(folder.path(), "\xEF\xBC\xA1.mp4", false);
    setFavorite(folder.path(), "\xF0\x9F\x8E\xAE.mp4", false);
    EXPECT_TRUE(fs::is_regular_file(folder / ".krel-favoriten"));
    EXPECT_EQ(folder.readFavoritesFile(), "");
    EXPECT_FALSE(fs::exists(folder / ".krel-favoriten.tmp"));

    for (const char* bad : {"", "..", "a/b.mp4", "a\nb.mp4", "a\x7F.mp4"})
        setFavorite(folder.path(), bad, true);
    EXPECT_EQ(folder.readFavoritesFile(), "");
}

// Lines are taken as they are: no trimming, empty lines skipped, bytes that
// are not UTF-8 kept without harm.
TEST(Favorites, ReadsForeignContentAsItIs) {
    test::ClipFolder folder;
    folder.addFile(".krel-favoriten", "a.mp4\n\n b.mp4\r\nkaputt\xC3\x28.mp4\nohne Zeilenende.mp4");
    const FavoriteSet names = loadFavorites(folder.path());
    EXPECT_EQ(names, (FavoriteSet{"a.mp4", " b.mp4\r", "kaputt\xC3\x28.mp4", "ohne Zeilenende.mp4"}));

    setFavorite(folder.path(), "c.mp4", true);
    EXPECT_EQ(loadFavorites(folder.path()).size(), 5u);
}

TEST(Favorites, FolderOrLinkInPlaceOfTheFileMeansNoFavourites) {
    test::ClipFolder folder, outside;
    fs::create_directory(folder / ".krel-favoriten");
    EXPECT_TRUE(loadFavorites(folder.path()).empty());
    setFavorite(folder.path(), "a.mp4", true); // cannot replace a folder; nothing thrown
    EXPECT_TRUE(fs::is_directory(folder / ".krel-favoriten"));
    EXPECT_TRUE(listClips(folder.path()).empty());

    // A link leading out of the folder is neither read nor written through.
    test::ClipFolder linked;
    const fs::path foreign = outside.addFile("fremd.txt", "a.mp4\n");
    fs::create_symlink(foreign, linked / ".krel-favoriten");
    EXPECT_TRUE(loadFavorites(linked.path()).empty());
    setFavorite(linked.path(), "b.mp4", true);
    std::ifstream in(foreign);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "a.mp4\n");
    EXPECT_FALSE(fs::is_symlink(linked / ".krel-favoriten"));
}

} // namespace
} // namespace krel
