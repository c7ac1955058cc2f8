// What the RS-485 tests reach beyond the API: the raw GPIO request.
#pragma once

#include "modbus/rs485.h"

// One ioctl on the GPIO device, opened lazily on first use; -1 when the
// device cannot be opened (tried again on the next call).
int gpio_ioctl(unsigned long request, unsigned long argument);
