// Dials through the RAS layer and holds the connection until it is killed:
// a run killed outright with pppd up, for the tests of leftover pppds.
// Prints "connected" once the dial is up, "failed <code>" otherwise. An
// argument names the peer (the dial's entry) to call.
#include "ras.h"

#include <cstdio>
#include <cstring>
#include <unistd.h>

int main(int argc, char *argv[])
{
    RASDIALPARAMSA params;
    std::memset(&params, 0, sizeof(params));
    params.dwSize = sizeof(params);
    std::strcpy(params.szPhoneNumber, "*99***1#");
    if (argc > 1)
        std::strncpy(params.szEntryName, argv[1], sizeof(params.szEntryName) - 1);
    HRASCONN connection = nullptr;
    // Without a notifier the call returns once the dial is up or failed.
    const DWORD rc = RasDialA(nullptr, nullptr, &params, 0, nullptr, &connection);
    if (rc != 0) {
        std::printf("failed %u\n", unsigned(rc));
        return 1;
    }
    std::printf("connected\n");
    std::fflush(stdout);
    for (;;)
        ::pause();
}
