// gadgetdfu: presents the board to a USB host through gadgetfs. It takes no
// arguments and reads no configuration; everything is compiled in.
#include "gadget.h"
#include "os.h"

int main(int, char**) {
    os_prepare_process();
    return gadget_main();
}
