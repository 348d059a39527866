// Result codes shared by the network services and the modules under them.
#pragma once

constexpr int QV_ERR_FAILED = 0x5001;
constexpr int QV_ERR_PORT_IN_USE = 0x500F;
