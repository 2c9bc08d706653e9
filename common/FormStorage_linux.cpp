// Linux has no access tokens: a user counts as administrator when running as root or belonging to one
// of the groups that grant sudo rights. A group membership counts even when not in use, as a disabled
// Administrators group does on Windows.
#include "TevFormStorage.h"

#include <grp.h>
#include <unistd.h>
#include <vector>

bool TTevFormStorage::IsWindowsAdmin() {
    if (geteuid() == 0)
        return true;
    const int count = getgroups(0, nullptr);
    if (count < 0)
        return false;
    std::vector<gid_t> groups(size_t(count) + 1);
    const int got = getgroups(count, groups.data());
    if (got < 0)
        return false;
    groups.resize(size_t(got));
    groups.push_back(getegid());
    for (const char* name : {"sudo", "wheel", "admin"}) {
        const group* g = getgrnam(name);
        if (!g)
            continue;
        for (gid_t id : groups)
            if (id == g->gr_gid)
                return true;
    }
    return false;
}
