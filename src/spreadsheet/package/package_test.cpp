// The installed library is usable from outside: cmake --install, then a program found through
// find_package(ZQExcel) and one built with pkg-config's flags.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;

namespace {

struct Result {
    int status;
    std::string out;
};

Result Sh(const std::string& cmd) {
    Result r{-1, ""};
    FILE* p = ::popen((cmd + " 2>&1").c_str(), "r");
    if (!p)
        return r;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        r.out.append(buf, n);
    r.status = ::pclose(p);
    return r;
}

TEST(ZQExcelPackage, InstalledLibraryIsFoundAndWorks) {
    const fs::path dir =
        fs::temp_directory_path() / ("zqexcel_package_" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const std::string prefix = (dir / "prefix").string();
    const std::string src = std::string(ZQ_SOURCE_DIR) + "/src/spreadsheet/package/consumer";
    Result install =
        Sh("cmake --install '" ZQ_BINARY_DIR "' --component ZQExcel --prefix '" + prefix + "'");
    ASSERT_EQ(install.status, 0) << install.out;
    const std::string libdir = fs::exists(prefix + "/lib64") ? prefix + "/lib64" : prefix + "/lib";
    ASSERT_TRUE(fs::exists(prefix + "/include/ZQExcel.h"));

    Result configure =
        Sh("cmake -S '" + src + "' -B '" + (dir / "build").string() + "' -DCMAKE_PREFIX_PATH='" +
           prefix + "' -DCMAKE_CXX_COMPILER='" ZQ_CXX "' -DCMAKE_CXX_FLAGS='" ZQ_CXX_FLAGS "'");
    ASSERT_EQ(configure.status, 0) << configure.out;
    Result build = Sh("cmake --build '" + (dir / "build").string() + "'");
    ASSERT_EQ(build.status, 0) << build.out;
    const std::string env = "LD_LIBRARY_PATH='" + libdir + "' ";
    Result run =
        Sh(env + "'" + (dir / "build/consumer").string() + "' '" + (dir / "a.xls").string() + "'");
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(run.out, "42\n");

    if (::access("/usr/bin/pkg-config", X_OK) == 0) {
        const std::string pc = "PKG_CONFIG_PATH='" + libdir + "/pkgconfig' pkg-config";
        Result cc = Sh("'" ZQ_CXX "' " ZQ_CXX_FLAGS " -std=c++17 '" + src + "/main.cpp' -o '" +
                       (dir / "pc").string() + "' $(" + pc + " --cflags --libs ZQExcel)");
        ASSERT_EQ(cc.status, 0) << cc.out;
        Result pcrun =
            Sh(env + "'" + (dir / "pc").string() + "' '" + (dir / "b.xls").string() + "'");
        EXPECT_EQ(pcrun.out, "42\n");
    }
    fs::remove_all(dir);
}

}  // namespace
