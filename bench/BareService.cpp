// The yardstick of the service's own cost per call: a bare sd-bus service on
// one thread that answers every call of one method with "TRUE" at once.
//   bench_bare_service BUS_NAME INTERFACE METHOD

#include <systemd/sd-bus.h>

#include <cstdint>
#include <cstdio>

int main(int argc, char* argv[])
{
    if (argc != 4)
        return 2;
    sd_bus* bus = nullptr;
    sd_bus_slot* slot = nullptr;
    auto answer = [](sd_bus_message* m, void*, sd_bus_error*) -> int { return sd_bus_reply_method_return(m, "s", "TRUE"); };
    const sd_bus_vtable vtable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD_WITH_NAMES(argv[3], "s", SD_BUS_PARAM(request), "s", SD_BUS_PARAM(reply), answer,
                                 SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_VTABLE_END,
    };
    if (sd_bus_open_user(&bus) < 0 || sd_bus_add_object_vtable(bus, &slot, "/", argv[2], vtable, nullptr) < 0 ||
        sd_bus_request_name(bus, argv[1], 0) < 0) {
        std::fprintf(stderr, "bench_bare_service: cannot serve %s\n", argv[1]);
        return 1;
    }
    for (;;) {
        const int r = sd_bus_process(bus, nullptr);
        if (r < 0)
            break;
        if (r == 0 && sd_bus_wait(bus, UINT64_MAX) < 0)
            break;
    }
    sd_bus_slot_unref(slot);
    sd_bus_flush_close_unref(bus);
    return 0;
}
