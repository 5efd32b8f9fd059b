#include "library/clip_library.h"

#include "clip_folder.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

namespace krel {
namespace {

namespace fs = std::filesystem;

const std::string kGamepad = "\xF0\x9F\x8E\xAE"; // U+1F3AE, two UTF-16 units

std::string renamed(const test::ClipFolder& folder, std::string_view from, std::string_view to) {
    std::string message = "ok";
    renameClip(folder.path(), from, to, &message);
    return message;
}

TEST(RenameClip, AppendsExtensionAndCountsUtf16Units) {
    test::ClipFolder folder;
    folder.addClip("a.mp4");
    EXPECT_TRUE(renameClip(folder.path(), "a.mp4", "Bester Moment"));
    EXPECT_TRUE(fs::exists(folder / "Bester Moment.mp4"));
    EXPECT_TRUE(renameClip(folder.path(), "Bester Moment.mp4", "Laut.MP4"));
    EXPECT_TRUE(fs::exists(folder / "Laut.MP4"));

    EXPECT_EQ(renamed(folder, "Laut.MP4", std::string(116, 'x')), kInvalidNameMessage);
    EXPECT_EQ(renamed(folder, "Laut.MP4", std::string(114, 'x') + kGamepad), kInvalidNameMessage);
    EXPECT_EQ(renamed(folder, "Laut.MP4", std::string(113, 'x') + kGamepad), "ok");
    EXPECT_EQ(renamed(folder, std::string(113, 'x') + kGamepad + ".mp4", std::string(115, 'x')), "ok");
    EXPECT_EQ(listClips(folder.path()).at(0).file, std::string(115, 'x') + ".mp4");
}

TEST(RenameClip, RefusesBadNamesTakenNamesAndNeverLeavesTheFolder) {
    test::ClipFolder folder;
    const fs::path clip = folder.addClip("a.mp4");
    folder.addClip("b.mp4");
    fs::create_directory(folder / "Ordner.mp4");
    fs::create_symlink("nirgendwo", folder / "Link.mp4");
    for (const char* taken : {"b.mp4", "b", "Ordner", "Link.mp4", "a.mp4"})
        EXPECT_EQ(renamed(folder, "a.mp4", taken), kNameTakenMessage) << taken;

    const std::string bad[] = {"",
                               "../raus",
                               "x/y",
                               "x\\y",
                               "x:y",
                               "x*y",
                               "x?y",
                               "x\"y",
                               "x<y",
                               "x>y",
                               "x|y",
                               "x\ty",
                               std::string("x\0y", 3),
                               "x\x7Fy",
                               "x\xC3(y",
                               std::string(10'000, 'x')};
    for (const std::string& name : bad) {
        EXPECT_EQ(renamed(folder, "a.mp4", name), kInvalidNameMessage) << name;
        EXPECT_EQ(renamed(folder, name, "neu"), kInvalidNameMessage) << name;
    }
    for (const char* name : {".", ".."})
        EXPECT_EQ(renamed(folder, name, "neu"), kInvalidNameMessage) << name;
    for (const char* name : {".mp4", ".MP4"})
        EXPECT_EQ(renamed(folder, "a.mp4", name), kInvalidNameMessage) << name;
    EXPECT_EQ(renamed(folder, "fehlt.mp4", "neu"), kRenameFailedMessage);
    EXPECT_EQ(renamed(folder, "neu.mp4", "..."), kRenameFailedMessage);
    EXPECT_FALSE(renameClip(folder / "gelöscht", "a.mp4", "neu")); // no place for a message: none written

    EXPECT_TRUE(fs::is_regular_file(clip));
    EXPECT_EQ(std::distance(fs::directory_iterator(folder.path()), {}), 4);
}

TEST(DeleteClip, FavouriteFollowsRenameAndLeavesToTheTrash) {
    test::ClipFolder folder;
    folder.addClip("Fav 2024-06-01 12-00-00.mp4");
    folder.addClip("Andere 2024-06-01 12-00-00.mp4");
    setFavorite(folder.path(), "Fav 2024-06-01 12-00-00.mp4", true);
    setFavorite(folder.path(), "Andere 2024-06-01 12-00-00.mp4", true);

    ASSERT_TRUE(renameClip(folder.path(), "Fav 2024-06-01 12-00-00.mp4", "Papierkorb-Test"));
    EXPECT_EQ(folder.readFavoritesFile(), "Andere 2024-06-01 12-00-00.mp4\nPapierkorb-Test.mp4\n");

    ASSERT_TRUE(deleteClip(folder.path(), "Papierkorb-Test.mp4"));
    EXPECT_FALSE(fs::exists(folder / "Papierkorb-Test.mp4"));
    EXPECT_EQ(folder.readFavoritesFile(), "Andere 2024-06-01 12-00-00.mp4\n");
    EXPECT_TRUE(fs::is_regular_file(test::trashFilesFolder() / "Papierkorb-Test.mp4"));
    std::ifstream info(test::trashInfoFolder() / "Papierkorb-Test.mp4.trashinfo");
    const std::string record(std::istreambuf_iterator<char>(info), {});
    EXPECT_NE(record.find("[Trash Info]\nPath="), std::string::npos);
    EXPECT_NE(record.find("Papierkorb-Test.mp4"), std::string::npos);

    // A failed delete still drops the favourite; invalid names touch nothing.
    EXPECT_FALSE(deleteClip(folder.path(), "Andere 2024-06-01 12-00-00.mp4.fehlt"));
    setFavorite(folder.path(), "weg.mp4", true);
    EXPECT_FALSE(deleteClip(folder.path(), "weg.mp4"));
    EXPECT_EQ(folder.readFavoritesFile(), "Andere 2024-06-01 12-00-00.mp4\n");
    for (const char* bad : {"", ".", "..", "../clips-0", "/"})
        EXPECT_FALSE(deleteClip(folder.path(), bad)) << bad;
    EXPECT_FALSE(deleteClip(folder / "gelöscht", "Andere 2024-06-01 12-00-00.mp4"));
    EXPECT_EQ(listClips(folder.path()).size(), 1u);
}

TEST(DeleteClip, TrashesALinkButNeverItsTarget) {
    test::ClipFolder folder, outside;
    const fs::path target = outside.addClip("Ziel.mp4");
    fs::create_symlink(target, folder / "Verweis.mp4");
    EXPECT_TRUE(deleteClip(folder.path(), "Verweis.mp4"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(folder / "Verweis.mp4")));
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(target)));
    EXPECT_TRUE(fs::is_symlink(test::trashFilesFolder() / "Verweis.mp4"));
}

} // namespace
} // namespace krel
