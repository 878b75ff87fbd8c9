// Everything of the test kit in one include.
#pragma once
#include "loopback_listener.h"
#include "netns.h"
#include "peer_process.h"
#include "scripted_device.h"
#include "sim_log.h"
#include "temp_dir.h"
#include "timing.h"
