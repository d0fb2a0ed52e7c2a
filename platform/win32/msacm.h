// The system's ACM headers, without the names that the platform layer declares itself (with
// the same values) in its own namespace.
#pragma once

#include <windows.h>

#include <mmsystem.h>

#include <mmreg.h>

#include <msacm.h>

#undef MMSYSERR_NOERROR
#undef MMSYSERR_INVALHANDLE
#undef MMSYSERR_NOTSUPPORTED
#undef MMSYSERR_INVALFLAG
#undef MMSYSERR_INVALPARAM
#undef ACMERR_NOTPOSSIBLE
#undef ACMERR_BUSY
#undef ACM_METRIC_MAX_SIZE_FORMAT
#undef ACMDRIVERDETAILS_SUPPORTF_CODEC
#undef ACMDRIVERDETAILS_SUPPORTF_CONVERTER
#undef ACM_FORMATENUMF_INPUT
#undef ACM_FORMATENUMF_NCHANNELS
#undef ACM_FORMATENUMF_NSAMPLESPERSEC
#undef ACM_FORMATSUGGESTF_WFORMATTAG
#undef ACM_STREAMOPENF_QUERY
#undef ACM_STREAMOPENF_NONREALTIME
#undef ACMFORMATDETAILS_FORMAT_CHARS
#undef ACMFORMATDETAILS
#undef ACMFORMATENUMCB
#undef acmFormatEnum

#undef acmDriverAdd
