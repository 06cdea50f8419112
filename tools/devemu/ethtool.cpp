// Link state for hosts that cannot answer ETHTOOL_GLINK themselves (qemu-user
// answers ENOSYS): the interface's IFF_RUNNING flag stands in for the link.
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <string.h>
#include <sys/ioctl.h>

#include "devemu_internal.h"

namespace devemu {

bool ethtool_glink_fallback(int fd, void* ifreq_arg) {
    auto* request = static_cast<struct ifreq*>(ifreq_arg);
    if (request == nullptr || request->ifr_data == nullptr) return false;
    auto* value = reinterpret_cast<struct ethtool_value*>(request->ifr_data);
    if (value->cmd != ETHTOOL_GLINK) return false;
    struct ifreq flags;
    memset(&flags, 0, sizeof flags);
    memcpy(flags.ifr_name, request->ifr_name, sizeof flags.ifr_name);
    if (real().ioctl(fd, SIOCGIFFLAGS, &flags) != 0) return false;
    value->data = (flags.ifr_flags & IFF_RUNNING) != 0 ? 1 : 0;
    return true;
}

}  // namespace devemu
