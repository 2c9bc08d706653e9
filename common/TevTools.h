// Shared helpers of the monitor and its components: per-user settings values, the coloured log append,
// a message-pumping delay, a silent check box and window z-order.
#pragma once
