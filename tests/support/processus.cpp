#include "tests/support/processus.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

int descripteurs_ouverts(pid_t pid) {
    const std::string chemin = "/proc/" + std::to_string(pid) + "/fd";
    DIR* d = ::opendir(chemin.c_str());
    if (!d) return -1;
    int n = 0;
    while (dirent* e = ::readdir(d))
        if (e->d_name[0] != '.') ++n;
    ::closedir(d);
    return n;
}

double temps_cpu(pid_t pid) {
    const std::string chemin = "/proc/" + std::to_string(pid) + "/stat";
    FILE* f = std::fopen(chemin.c_str(), "r");
    if (!f) return -1;
    char buf[1024];
    size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    buf[n] = '\0';
    // Fields after the command name, which may itself hold blanks and parentheses.
    const char* p = std::strrchr(buf, ')');
    if (!p) return -1;
    unsigned long utime = 0, stime = 0;
    std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime);
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}
