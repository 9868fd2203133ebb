// Tree scan: the given directory and its immediate subdirectories, in byte order of names.
#include "qel.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <vector>

struct dir_item {
    std::string name;
    unsigned char type; // as the listing reports it; DT_UNKNOWN when it cannot tell

    bool operator<(const dir_item& other) const
    {
        return name < other.name;
    }
};

// The listing is sorted so that the same tree always gives the same image.
static int list_items(const char* dir_path, std::vector<dir_item>& items)
{
    DIR* dir = opendir(dir_path);
    if (!dir) return -1;
    while (const dirent* item = readdir(dir))
        items.push_back({item->d_name, item->d_type});
    closedir(dir);
    std::sort(items.begin(), items.end());
    return 0;
}

int scan_directory(const char* dir_path, const char* dir_label)
{
    if (strlen(dir_label) >= QEL_NAME_MAX + 1) {
        printf("'%s' dir name over 30char\n", dir_label);
        return -1;
    }
    std::vector<dir_item> items;
    if (list_items(dir_path, items) != 0) {
        printf("'%s' dir open errno=%d \n", dir_path, errno);
        return -1;
    }
    for (const dir_item& item : items) {
        const std::string& name = item.name;
        if (name[0] == '.') continue; // ".", ".." and every hidden item
        std::string fullpath = std::string(dir_path) + "/" + name;
        // Plain files and directories are known from the listing; the writer checks a file
        // again on its open descriptor. Links and anything unclear are followed by a query.
        struct stat sta;
        if (item.type == DT_REG) {
            sta.st_mode = S_IFREG;
        } else if (item.type == DT_DIR) {
            sta.st_mode = S_IFDIR;
        } else if (stat(fullpath.c_str(), &sta) != 0) {
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
