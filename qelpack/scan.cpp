// Tree scan: the given directory and its immediate subdirectories, in byte order of names.
#include "qel.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <vector>

// The listing is sorted so that the same tree always gives the same image.
static int list_names(const char* dir_path, std::vector<std::string>& names)
{
    DIR* dir = opendir(dir_path);
    if (!dir) return -1;
    while (const dirent* item = readdir(dir))
        names.emplace_back(item->d_name);
    closedir(dir);
    std::sort(names.begin(), names.end());
    return 0;
}

int scan_directory(const char* dir_path, const char* dir_label)
{
    if (strlen(dir_label) >= QEL_NAME_MAX + 1) {
        printf("'%s' dir name over 30char\n", dir_label);
        return -1;
    }
    std::vector<std::string> names;
    if (list_names(dir_path, names) != 0) {
        printf("'%s' dir open errno=%d \n", dir_path, errno);
        return -1;
    }
    for (const std::string& name : names) {
        if (name[0] == '.') continue; // ".", ".." and every hidden item
        std::string fullpath = std::string(dir_path) + "/" + name;
        struct stat sta;
        if (stat(fullpath.c_str(), &sta) != 0) {
            printf(" stat(fullpath,sta) != 0\n");
            continue;
        }
        if (S_ISDIR(sta.st_mode)) {
            if (qel.scan_depth != 0) continue;
            qel.scan_depth = 1;
            scan_directory(fullpath.c_str(), name.c_str());
            qel.scan_depth = 0;
        } else if (name.size() >= QEL_NAME_MAX + 1) {
            printf("'%s' file name over 30char\n", name.c_str());
        } else {
            qel_add(fullpath.c_str(), name.c_str(), dir_label);
        }
    }
    return 0;
}
