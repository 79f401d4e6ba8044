#include "acquisition/util.hpp"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "acquisition/chunk.hpp"

namespace vuzevuz::util {

bool is_acquisition(const std::string& path) {
    if (!names_file(path)) return false;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        throw_if_exhausted(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) return false;
    std::string meta = path;
    if (!meta.empty() && meta.back() != '/') meta += '/';
    meta += "metadata.yml";
    if (::stat(meta.c_str(), &st) == 0) return true;
    throw_if_exhausted(errno);
    return false;
}

std::vector<Acquisition> list_acquisitions(const std::string& path) {
    std::vector<Acquisition> out;
    if (!names_file(path)) return out;
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(path.c_str()), ::closedir);
    if (!dir) {
        throw_if_exhausted(errno);
        return out;
    }
    std::string base = path;
    if (!base.empty() && base.back() != '/') base += '/';
    for (;;) {
        errno = 0;
        const dirent* ent = ::readdir(dir.get());
        if (!ent) {
            // The end, or a failure part-way: keep what was found, unless memory ran out.
            throw_if_exhausted(errno);
            break;
        }
        if (std::strcmp(ent->d_name, ".") == 0 || std::strcmp(ent->d_name, "..") == 0) continue;
        if (auto acq = Acquisition::open(base + ent->d_name)) out.push_back(std::move(*acq));
    }
    return out;
}

}  // namespace vuzevuz::util
