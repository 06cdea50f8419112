// Management-port set-up and the TFTP rescue.
//
// The management port is eth0. It is configured by running the platform's
// network commands through the shell (ifconfig, route, dhclient); only the
// link test talks to the kernel directly. Addresses are IPv4 in network byte
// order throughout; 0 means "not given" for the netmask and the gateway.
#pragma once

#include <cstdint>
#include <string>

struct network_settings {
    uint8_t use_dhcp = 0;
    char interface = '0';  // the character after "eth"
    uint32_t address = 0;  // network byte order
    uint32_t netmask = 0;  // 0: not given
    uint32_t gateway = 0;  // 0: not given
};

// 1 when `address` may be used as a host address: not 0, first octet (the
// most significant byte) neither 0 nor 240 or above. Multicast passes.
int is_host_address(uint32_t address);
// One address prompt, repeated until a valid entry or a quit. Returns 1 with
// *address set (left as it was for an empty entry when `required` is 0), or
// 0 when the entry begins with q/Q or Ctrl-C was noticed. A refused entry
// never reaches *address.
int read_ip_address(const char* prompt, uint32_t* address, uint8_t required, uint8_t host_only);
// Fills `settings` from the operator (DHCP offered only when `offer_dhcp` is
// set and "/bin/dhclient" exists). 1 when complete, 0 when the operator quit.
int ask_network_settings(network_settings* settings, uint8_t offer_dhcp);
// Runs the configuration commands with their waits (at least 26 s with
// static settings, 3 s plus dhclient with DHCP), then the link test for eth0.
// 1, or 0 when the link is not available.
int apply_network_settings(uint8_t use_dhcp, char interface, uint32_t address, uint32_t netmask,
                           uint32_t gateway);
// 1 when eth0 is up, running and has link; 0 otherwise, after printing the
// message of the step that failed (socket, index, flags, ethtool request).
int mgmt_link_up();
// Dialogue plus configuration. 1 when configured with the link up, 0 when the
// operator quit (no command run) or the link is not available.
int configure_network(uint8_t offer_dhcp);
// Rescue-menu T: settings, server, file name, configuration, download to
// "/tmp/image" in at most three attempts, install and log. Returns the
// installer's result, or 0 on a quit, no link or a failed download.
int tftp_rescue();

// Removes "/tmp/image", then runs the tftp command up to three times until
// "/tmp/image" exists (3 s pause after each failed attempt). 1 when it
// arrived; 0 after Ctrl-C (before an attempt) or three failed attempts, with
// "Tftp download failed. Aborting" in the latter case.
int tftp_download(const char* file, uint32_t server);
// The address in dotted decimal form (as inet_ntoa gives it).
std::string dotted_address(uint32_t address);
// The download command for `file` from `server` (network byte order): the
// file name, without its leading and trailing blanks, is shell-quoted, so an ordinary name gives the plain text
// "tftp -g -r NAME -l /tmp/image A.B.C.D\n" and any other name reaches tftp
// as one argument with nothing of it interpreted by the shell.
std::string tftp_command(const char* file, uint32_t server);
