#include "console/network.h"

#include <arpa/inet.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "boot/startup.h"
#include "console/input.h"
#include "console/shell_words.h"
#include "image/installer.h"
#include "image/versions.h"

namespace {

constexpr int kLineSize = 128;  // address and file-name entries: at most 127 characters
constexpr const char* kDownload = "/tmp/image";

bool file_exists(const char* path) {
    struct stat info {};
    return stat(path, &info) == 0;
}

// A Ctrl-C may cut one of these waits short; that is harmless, since every
// download attempt looks at the flag first. What sleep() returns is not
// trusted: an interposed clock (as in simulations) can report any remainder.
void wait_seconds(unsigned seconds) { sleep(seconds); }

// Builds the whole command text, however long its words, and runs it through
// the shell. Its exit status is not examined: success is judged by the link
// test and the presence of the downloaded file. Our own
// buffered output goes first so that the console shows it before the
// command's.
[[gnu::format(printf, 1, 2)]] void run_command(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    if (length >= 0) {
        std::string command(static_cast<std::size_t>(length), '\0');
        std::vsnprintf(command.data(), command.size() + 1, format, again);
        (void)run_console_command(command.c_str());
    }
    va_end(again);
}

int first_octet(uint32_t address) {
    uint8_t octets[4];
    std::memcpy(octets, &address, sizeof octets);  // network order: most significant first
    return octets[0];
}

// Prompts and progress must reach the operator before the program waits.
void print_now(const char* text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}

}  // namespace

std::string dotted_address(uint32_t address) {
    in_addr value{};
    value.s_addr = address;
    return inet_ntoa(value);  // copied at once: inet_ntoa reuses one static buffer
}

std::string tftp_command(const char* file, uint32_t server) {
    // Blanks around the name were never part of it: the server would be
    // asked for a file whose name starts or ends with them.
    return "tftp -g -r " + shell_quote(trim_blanks(file)) + " -l /tmp/image " + dotted_address(server) + "\n";
}

int is_host_address(uint32_t address) {
    if (address == 0) return 0;
    const int first = first_octet(address);
    return first != 0 && first < 240 ? 1 : 0;
}

int read_ip_address(const char* prompt, uint32_t* address, uint8_t required, uint8_t host_only) {
    char entry[kLineSize];
    for (;;) {
        print_now(prompt);
        read_line(entry, sizeof entry);
        if (sigint_seen) return 0;
        if (entry[0] == 'q' || entry[0] == 'Q') return 0;
        if (entry[0] == '\0' && !required) return 1;
        in_addr parsed{};
        if (inet_aton(entry, &parsed) == 0) {
            std::puts("Invalid IP address. Try again please");
        } else if (host_only && !is_host_address(parsed.s_addr)) {
            std::printf("Invalid IP address %s. Try again please\n", entry);
        } else {
            *address = parsed.s_addr;
            return 1;
        }
    }
}

int ask_network_settings(network_settings* settings, uint8_t offer_dhcp) {
    settings->use_dhcp = 0;
    if (offer_dhcp && file_exists("/bin/dhclient")) {
        char answer[kLineSize];
        print_now("Confirm: Use DHCP for network configuration? y/N: ");
        read_line(answer, sizeof answer);
        if (sigint_seen) return 0;
        if (std::toupper(static_cast<unsigned char>(answer[0])) == 'Y') settings->use_dhcp = 1;
        std::putchar('\n');
    }
    if (settings->use_dhcp) return 1;
    if (!read_ip_address("IP addr    :", &settings->address, 1, 1)) return 0;
    if (!read_ip_address("Netmask    :", &settings->netmask, 0, 0)) return 0;
    if (!read_ip_address("Gateway    :", &settings->gateway, 0, 1)) return 0;
    return 1;
}

int apply_network_settings(uint8_t use_dhcp, char interface, uint32_t address, uint32_t netmask,
                           uint32_t gateway) {
    if (use_dhcp) {
        run_command("dhclient -1 eth%c", interface);
        wait_seconds(3);
    } else {
        run_command("ifconfig eth%c %s\n", interface, dotted_address(address).c_str());
        if (netmask != 0) {
            const std::string mask = dotted_address(netmask);
            std::printf("\tNetmask    : %s\n", mask.c_str());
            run_command("ifconfig eth%c down\n", interface);
            run_command("ifconfig eth%c netmask %s\n", interface, mask.c_str());
            run_command("ifconfig eth%c up\n", interface);
        }
        wait_seconds(5);
        if (gateway != 0) {
            const std::string gw = dotted_address(gateway);
            std::printf("\tGateway    : %s\n", gw.c_str());
            run_command("route add default gw %s\n", gw.c_str());
        }
        print_now("Configuring management port...");
        for (int i = 0; i < 20; ++i) {
            wait_seconds(1);
            print_now(".");
        }
        print_now("\n");
        wait_seconds(1);
    }
    if (interface == '0' && !mgmt_link_up()) {
        std::puts("Mgmt link not available. Quitting.");
        return 0;
    }
    return 1;
}

int mgmt_link_up() {
    const int sock = socket(AF_INET, SOCK_DGRAM, 0);
    if (sock < 0) {
        std::puts("Raw Socket open error");
        return 0;
    }
    ifreq request{};
    std::strncpy(request.ifr_name, "eth0", IFNAMSIZ - 1);
    if (ioctl(sock, SIOCGIFINDEX, &request) < 0) {
        std::printf("Open Interface %s error.\n", "eth0");
        close(sock);
        return 0;
    }
    if (ioctl(sock, SIOCGIFFLAGS, &request) < 0) {
        std::puts("Open flags error.");
        close(sock);
        return 0;
    }
    const int flags = request.ifr_flags;
    ethtool_value link{};
    link.cmd = ETHTOOL_GLINK;
    request.ifr_data = reinterpret_cast<char*>(&link);
    if (ioctl(sock, SIOCETHTOOL, &request) < 0) {
        std::puts("EthTool GLINK error.");
        close(sock);
        return 0;
    }
    close(sock);
    return link.data != 0 && (flags & IFF_UP) && (flags & IFF_RUNNING) ? 1 : 0;
}

int configure_network(uint8_t offer_dhcp) {
    network_settings settings{};
    settings.interface = '0';
    if (!ask_network_settings(&settings, offer_dhcp)) return 0;
    return apply_network_settings(settings.use_dhcp, settings.interface, settings.address,
                                  settings.netmask, settings.gateway);
}

namespace {

// The file-name prompt: 1 with `name` holding at least two characters, 0 when
// the operator quit with exactly "q" or Ctrl-C.
int ask_file_name(char* name, int size) {
    for (;;) {
        print_now("Image Filename: ");
        read_line(name, size);
        if (std::strlen(name) >= 2) return sigint_seen ? 0 : 1;
        if (std::strcmp(name, "q") == 0 || sigint_seen) return 0;
        std::puts("Invalid filename. Try again please");
    }
}

}  // namespace

// A file left from an earlier download is removed first, so that only this
// download can pass for a success.
int tftp_download(const char* name, uint32_t server) {
    const std::string server_text = dotted_address(server);
    const std::string command = tftp_command(name, server);
    std::remove(kDownload);
    for (int attempt = 1; attempt <= 3; ++attempt) {
        if (sigint_seen) return 0;
        std::printf("Installing image %s from TFTP server %s\n", name, server_text.c_str());
        run_command("%s", command.c_str());
        if (file_exists(kDownload)) return 1;
        std::printf("Attempt %d/3 of tftp timed out\n", attempt);
        std::fflush(stdout);
        wait_seconds(3);
    }
    std::puts("Tftp download failed. Aborting");
    return 0;
}

int tftp_rescue() {
    network_settings settings{};
    settings.interface = '0';
    uint32_t server = 0;
    char name[kLineSize];
    std::puts("Performing TFTP rescue. Please answer the following questions (enter 'q' to quit):");
    if (!ask_network_settings(&settings, 0)) return 0;
    if (!read_ip_address("Server addr:", &server, 1, 1)) return 0;
    if (!ask_file_name(name, sizeof name)) return 0;
    if (!apply_network_settings(0, settings.interface, settings.address, settings.netmask,
                                settings.gateway)) {
        return 0;
    }
    if (!tftp_download(name, server)) return 0;
    const int installed = install_image_file(kDownload, 0, 0);
    if (installed) log_install(name, dotted_address(server).c_str());
    return installed;
}
