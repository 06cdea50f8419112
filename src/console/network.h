// Management-port set-up and the TFTP rescue.
#pragma once

#include <cstdint>

struct network_settings {
    uint8_t use_dhcp = 0;
    char interface = '0';
    uint32_t address = 0;  // network byte order
    uint32_t netmask = 0;  // 0: not given
    uint32_t gateway = 0;  // 0: not given
};

int is_host_address(uint32_t address);  // network byte order
int read_ip_address(const char* prompt, uint32_t* address, uint8_t required, uint8_t host_only);
int ask_network_settings(network_settings* settings, uint8_t offer_dhcp);
int apply_network_settings(uint8_t use_dhcp, char interface, uint32_t address, uint32_t netmask,
                           uint32_t gateway);
int mgmt_link_up();
int configure_network(uint8_t offer_dhcp);
int tftp_rescue();
