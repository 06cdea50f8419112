#include "boot/startup.h"

int main() { run_launcher(); }
