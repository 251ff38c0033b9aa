// VP8 RTP unpacker (RFC 7741): strips the payload descriptor and joins the fragments into frames.
#pragma once

#include "rtp_payload.h"

// The VP8 unpacker table; every call returns the same static table.
const rtp_unpacker_t* rtp_vp8_decode();
