// Third-party data kept beside the repository in ../shared/fixtures, never in it. Tests that use it
// skip where it is absent (a plain clone); CI has it and runs them.
#pragma once
#include <filesystem>
#include <string>

inline std::filesystem::path SharedFixtureFolder(const std::string &name)
{
    return (std::filesystem::path(KORVEL_SOURCE_DIR) / ".." / "shared" / "fixtures" / name).lexically_normal();
}

inline std::string MissingFixtureMessage(const std::filesystem::path &folder)
{
    return "the fixture folder " + folder.string() + " is absent (it is not part of the repository)";
}
