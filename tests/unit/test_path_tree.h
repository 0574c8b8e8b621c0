// Folder trees for the path tests: each test builds its own under a fresh
// folder in $TMPDIR, removed with everything in it when the test ends, and
// brings the path layer up on it (application folder "app", support folder
// "support").
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "kel/path.h"
#include "kernel/files/path.h"

namespace kel::test {

class temp_tree {
public:
    temp_tree()
    {
        const char *tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/kel-path-XXXXXX";
        if (!::mkdtemp(pattern.data())) ADD_FAILURE() << "mkdtemp failed";
        root_ = std::filesystem::canonical(pattern).string();
    }
    ~temp_tree()
    {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    temp_tree(const temp_tree &) = delete;
    temp_tree &operator=(const temp_tree &) = delete;

    const std::string &root() const { return root_; }
    std::string at(const std::string &relative) const { return relative.empty() ? root_ : root_ + "/" + relative; }

    std::string folder(const std::string &relative) const
    {
        std::filesystem::create_directories(at(relative));
        return at(relative);
    }
    std::string file(const std::string &relative, const std::string &contents = "text\n") const
    {
        std::filesystem::create_directories(std::filesystem::path(at(relative)).parent_path());
        std::ofstream(at(relative), std::ios::binary) << contents;
        return at(relative);
    }
    // A symbolic link at relative leading to target (as written: relative
    // targets are relative to the link's folder).
    std::string link(const std::string &relative, const std::string &target) const
    {
        std::filesystem::create_directories(std::filesystem::path(at(relative)).parent_path());
        std::filesystem::create_symlink(target, at(relative));
        return at(relative);
    }
    std::string read(const std::string &relative) const
    {
        std::ifstream in(at(relative), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    bool exists(const std::string &relative) const
    {
        std::error_code ignored;
        return std::filesystem::exists(std::filesystem::symlink_status(at(relative), ignored));
    }

private:
    std::string root_;
};

// The id of a folder of the tree (allocated when new).
inline short id_of(const temp_tree &tree, const std::string &relative) { return path_id_of_folder(tree.at(relative)); }

// The folders of a list, as names relative to the tree ("" for its root;
// the full name for a folder outside it).
inline std::vector<std::string> list_names(const temp_tree &tree, const path_list *list)
{
    std::vector<std::string> names;
    for (const path_node *node = list->head; node; node = node->next) {
        std::string os;
        if (!path_folder_of(node->path, &os)) {
            names.push_back("?");
            continue;
        }
        if (os == tree.root())
            names.push_back("");
        else if (os.compare(0, tree.root().size() + 1, tree.root() + "/") == 0)
            names.push_back(os.substr(tree.root().size() + 1));
        else
            names.push_back(os);
    }
    return names;
}

// A test with its own tree and the path layer brought up on it: "app" is the
// application folder and "support" the support folder (both empty). The
// search path holds the support tree, then the application tree, put there
// as the `usesearchpath` option does: the tests find their files there.
class path_test : public testing::Test {
protected:
    void SetUp() override
    {
        tree.folder("app");
        tree.folder("support");
        restart();
    }
    void TearDown() override
    {
        path_cache_enable(false);
        path_set_standalone(false, true);
    }
    // Re-runs the start-up with the folders as they are now.
    void restart(bool standalone = false)
    {
        ASSERT_TRUE(path_init({tree.at("app"), tree.at("support"), standalone}));
        if (!standalone) path_add_application_trees();
    }

    temp_tree tree;
};

}  // namespace kel::test
