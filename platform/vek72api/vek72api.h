/*
 * vek72api - client library of the VEK72 DAC output module (module type 8995, up to 8 channels).
 *
 * A module sits in a slot of a crate owned by the crate service; the library reaches it through the
 * service over TCP. The caller keeps one handle record TVEK72 per module: VEK72_Init prepares it,
 * VEK72_Open connects and fills the module information, the caller writes the configuration block
 * and calls VEK72_Configure, which fills the state block.
 *
 * Results: 0 on success, a negative VEK72_E_* code on failure; VEK72_Send answers the number of
 * words accepted and VEK72_StreamCut the number of words kept (negative on failure);
 * VEK72_IsOpened answers 0 when the handle is open. VEK72_GetErrorString gives a Russian text
 * (Windows-1251, NUL-terminated) for every code.
 *
 * Service address: callers pass 127.0.0.1 (host order 0x7F000001) and port 11111; the environment
 * variable VEK_SERVICE=HOST:PORT overrides both. Every exchange with the service is bounded in
 * time; a dead service gives an error code, never a hang.
 *
 * Decisions of this library:
 *  - Output rate per channel (state.outputRate) = DAC rate / k, where k is the enabled channel
 *    count rounded up to 1, 2, 4 or 8.
 *  - VEK72_Configure refuses a DAC rate other than 48000, 96000 or 192000 Hz (VEK72_E_BAD_RATE).
 *    A configuration without an enabled channel is the zeroing configuration: it is applied, every
 *    output goes to 0 V, enabledChannels and outputRate become 0, and output cannot be started from
 *    it (VEK72_Send, VEK72_StreamStart and VEK72_SwitchCyclePage answer VEK72_E_NO_CHANNELS).
 *  - Sample words (VEK72_PrepareDacData with flags VEK72_PREPARE_VOLTS): the samples are interleaved
 *    by enabled channel in ascending channel order, sample i belonging to the (i mod E)-th enabled
 *    channel (E = enabled count). Each word is
 *        bits 31..24  VEK72_WORD_TAG (0xA5)
 *        bits 23..20  0
 *        bit  19      1 when the sample lay outside the scale and was saturated
 *        bits 18..16  physical channel index (0..7)
 *        bits 15..0   code: 0 at the channel's scale minimum, 65535 at its maximum, linear between,
 *                     rounded to nearest; volts outside the scale saturate at 0 or 65535.
 *    The scale of a channel depends on the module's modification and the channel's output selector:
 *        modification 1: full (selector 0) -10 V .. +10 V,  one-tenth (selector 1) -1 V .. +1 V
 *        modification 2 and 3: full -2 V .. +20 V,          one-tenth -0.2 V .. +2 V
 *    The crate service decodes the words back to volts (platform/protocol/dacword.h).
 *    The conversion works on the configuration last applied by VEK72_Configure (not on later edits
 *    of the configuration block) and needs no exchange with the service.
 *  - Streaming mode (outputMode 1): VEK72_Send fills the module's FIFO (VEK72_FIFO_WORDS words);
 *    VEK72_StreamStart starts consumption at the configured rate in real time. When the FIFO is full
 *    VEK72_Send waits up to its time-out for room and answers the words taken so far. An empty FIFO
 *    while running is an underrun: the module counts it and holds its last output.
 *  - Cyclic mode (outputMode 0) has two pages: each VEK72_Send loads its words as the new loading
 *    page (replacing what an earlier send loaded; at most VEK72_PAGE_WORDS words, a longer send is
 *    accepted short), and VEK72_SwitchCyclePage makes the loading page the playing page, which the
 *    module plays over and over (starting output, or replacing the page being played from its
 *    first frame, or at the end of its pass with VEK72_SWITCH_AT_PASS_END), and empties the loading
 *    page. A page is played in whole frames of E words; a page without a whole frame is empty
 *    (VEK72_E_EMPTY_PAGE). A stopped module restarts the page it kept when nothing new was loaded.
 *  - Streaming output can be cut short while it runs (VEK72_StreamCut): what the FIFO holds beyond
 *    a given length is discarded without a break in output.
 *  - VEK72_StreamStart in cyclic mode and VEK72_SwitchCyclePage in streaming mode answer
 *    VEK72_E_WRONG_MODE. VEK72_Stop ends output (the outputs hold their last value, the FIFO is
 *    emptied); VEK72_Stop without running output answers VEK72_E_NOT_RUNNING.
 *  - VEK72_Configure is refused while output runs (VEK72_E_RUNNING); a refused configuration leaves
 *    the applied one in force.
 *  - VEK72_Close of a module whose outputs were never zeroed is allowed. VEK72_Close always releases
 *    the connection and the module, even when it answers an error code.
 *  - A module is opened by one client at a time; a second VEK72_Open gets VEK72_E_BUSY.
 *  - One handle must not be used by two threads at the same time; VEK72_IsOpened only looks at the
 *    connection (it notices one the service dropped) and may be asked from any thread.
 *  - Words travel in the byte order of the host; the library and the service are built for
 *    little-endian hosts.
 *  - A service that does not answer in time (VEK72_E_TIMEOUT) keeps the connection when the request
 *    went out whole: the answer is still awaited. The next call on the handle first takes that late
 *    answer, within its own time bound; while it has not come, the call answers VEK72_E_TIMEOUT and
 *    sends nothing. So a service that hangs for a while and comes back finds its client where it was,
 *    and a module keeps playing what it holds meanwhile. A send whose answer came late reports the words
 *    it took through VEK72_SendResult. VEK72_Close with an answer still awaited closes at once (the
 *    service releases the module when the connection goes). A request the service stopped reading
 *    part-way is finished by the next call before anything else; one of which nothing went counts as
 *    not made (a send of it took no words). An answer cut off in the middle drops the connection.
 */
#ifndef VEK72API_H
#define VEK72API_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define VEK72_MODULE_TYPE 8995     /* 0x2323: type identifier the crate reports for a VEK72 */
#define VEK72_MAX_CHANNELS 8
#define VEK72_SERIAL_SIZE 16
#define VEK72_PAGE_WORDS 4194304u  /* largest cyclic page */
#define VEK72_FIFO_WORDS 4194304u  /* streaming FIFO of the module */
#define VEK72_PREPARE_VOLTS 1u     /* VEK72_PrepareDacData flag: samples are volts */
#define VEK72_WORD_TAG 0xA5u
#define VEK72_TIMEOUT_MS 1000      /* upper bound of one exchange besides a call's own time-out */

/* Error codes. */
#define VEK72_OK 0
#define VEK72_E_HANDLE -101        /* null handle or not prepared by VEK72_Init */
#define VEK72_E_CONNECTION -102    /* the service cannot be reached or the connection dropped */
#define VEK72_E_TIMEOUT -103       /* no answer in time */
#define VEK72_E_PROTOCOL -104      /* malformed answer */
#define VEK72_E_NOT_OPENED -105    /* the handle is not open */
#define VEK72_E_NO_CRATE -106      /* no crate of that serial */
#define VEK72_E_NO_MODULE -107     /* the slot holds no VEK72 */
#define VEK72_E_BUSY -108          /* the module is opened by another client */
#define VEK72_E_ARGUMENT -109      /* null pointer or invalid argument */
#define VEK72_E_NO_CHANNELS -110   /* no channel is enabled: output cannot start */
#define VEK72_E_BAD_RATE -111      /* DAC rate other than 48, 96 or 192 kHz */
#define VEK72_E_NOT_CONFIGURED -112/* the module has not been configured */
#define VEK72_E_RUNNING -113       /* the call is not allowed while output runs */
#define VEK72_E_NOT_RUNNING -114   /* the call needs running output */
#define VEK72_E_EMPTY_PAGE -115    /* cyclic start without words sent */
#define VEK72_E_HARDWARE -116      /* the module reported a fault (also injected faults) */
#define VEK72_E_ALREADY_OPEN -117  /* the handle is already open */
#define VEK72_E_WRONG_MODE -118    /* the call does not fit the configured output mode */

typedef struct TVEK72_CHANNEL {
    uint8_t enabled;   /* 1: the channel takes part in output */
    uint8_t output;    /* output selector: 0 full range, 1 one-tenth range */
    uint8_t source;    /* source selector: 0 samples from the host */
    uint8_t reserved;
} TVEK72_CHANNEL;

/* Configuration block: written by the caller, applied by VEK72_Configure. */
typedef struct TVEK72_CONFIG {
    TVEK72_CHANNEL channel[VEK72_MAX_CHANNELS];
    uint8_t outputMode;  /* 0 cyclic page, 1 streaming */
    uint8_t dacEnable;   /* 1: DAC outputs driven (callers always write 1) */
    uint8_t reserved[2];
    uint32_t dacRateHz;  /* DAC conversion rate, set by VEK72_FillOutFreq */
} TVEK72_CONFIG;

/* State block: filled by VEK72_Configure, VEK72_StreamStart, VEK72_SwitchCyclePage, VEK72_StreamCut
 * and VEK72_Stop. */
typedef struct TVEK72_STATE {
    uint8_t running;          /* non-zero while output runs */
    uint8_t enabledChannels;  /* channels enabled by the last configuration */
    uint8_t outputMode;       /* mode of the last configuration */
    uint8_t configured;       /* non-zero after a successful VEK72_Configure */
    double outputRate;        /* samples per second and channel */
} TVEK72_STATE;

/* Module information: filled by VEK72_Open. */
typedef struct TVEK72_INFO {
    char serial[VEK72_SERIAL_SIZE]; /* serial number text, 0-terminated */
    uint16_t firmware;              /* firmware version */
    uint8_t modification;           /* 1, 2 or 3 */
    uint8_t dacChannelCount;        /* 1..8 */
} TVEK72_INFO;

typedef struct TVEK72 {
    TVEK72_CONFIG config;
    TVEK72_STATE state;
    TVEK72_INFO info;
    /* The library's own part. */
    uint32_t magic;
    int32_t socket;
    uint16_t slot;
    char crateSerial[VEK72_SERIAL_SIZE];
    uint32_t requestId;                          /* last request number */
    uint32_t awaitId;                            /* request whose answer is still awaited, 0 none */
    uint16_t awaitOp;                            /* its opcode */
    uint8_t lateSendKnown;                       /* 1: lateSendTaken holds a late send's answer */
    int32_t lateSendTaken;                       /* words that send took (or its error code) */
    uint8_t* unsentBytes;                        /* the rest of a request the time-out cut off */
    uint32_t unsentCount;                        /* (allocated by the library, freed on close) */
    uint8_t applied;                             /* 1 after a successful VEK72_Configure */
    uint8_t appliedCount;                        /* enabled channels of the applied configuration */
    uint8_t appliedChannel[VEK72_MAX_CHANNELS];  /* physical channel of each enabled position */
    uint8_t appliedOutput[VEK72_MAX_CHANNELS];   /* output selector of each enabled position */
} TVEK72;

int VEK72_Init(TVEK72* handle);
int VEK72_Open(TVEK72* handle, uint32_t server, uint16_t port, const char* crateSerial, uint16_t slot);
int VEK72_IsOpened(TVEK72* handle);

/* Writes the DAC rate into a configuration block. actualRate, when not null, receives the rate set. */
int VEK72_FillOutFreq(TVEK72_CONFIG* config, double dacRateHz, double* actualRate);
int VEK72_Configure(TVEK72* handle);

/* Turns count samples into count words (see the word format above). reserved must be null. */
int VEK72_PrepareDacData(TVEK72* handle, const double* samples, uint32_t count, uint32_t flags,
                         uint32_t* words, void* reserved);

/* Sends words to the module; answers the number of words accepted, negative on failure. */
int VEK72_Send(TVEK72* handle, const uint32_t* words, uint32_t count, uint32_t timeoutMs);

/*
 * The outcome of the last VEK72_Send that answered VEK72_E_TIMEOUT: waits up to timeoutMs (no slack
 * added) for its late answer and answers the words that send took, or its error code. VEK72_E_TIMEOUT
 * while the service has still not answered; VEK72_E_ARGUMENT when no send is outstanding.
 */
int VEK72_SendResult(TVEK72* handle, uint32_t timeoutMs);

int VEK72_StreamStart(TVEK72* handle, uint32_t flags);

/*
 * Makes the loading page the playing page. flags 0: at once, from the page's first frame (starting
 * output when it is stopped). VEK72_SWITCH_AT_PASS_END while a page plays: the loading page becomes
 * the playing page when the page being played reaches the end of its current pass, so that a page
 * made of whole periods follows the old one without a break; answered at once, the switch scheduled.
 *  - The scheduled page is kept apart from the loading page: a later VEK72_Send loads a new loading
 *    page and leaves it scheduled; a later switch with the flag schedules the newer page instead.
 *    Asked at a pass boundary (the next frame to play is the page's first), it switches at once.
 *  - With flags 0 while a page plays: the loading page at once (a scheduled page is dropped), or,
 *    nothing loaded since, the scheduled page at once; neither: VEK72_E_EMPTY_PAGE.
 *  - With the flag and nothing loaded: VEK72_E_EMPTY_PAGE (a page scheduled before stays so).
 *  - VEK72_Stop drops a scheduled page. While output is stopped the flag counts as 0.
 *  - Any other flag bit: VEK72_E_ARGUMENT. timeoutMs bounds the exchange besides VEK72_TIMEOUT_MS.
 */
#define VEK72_SWITCH_AT_PASS_END 1u
int VEK72_SwitchCyclePage(TVEK72* handle, uint32_t flags, uint32_t timeoutMs);

/*
 * Streaming, while output runs: keeps the first keepWords words (whole frames) of what the FIFO still
 * holds to play and discards the rest; output goes on. Answers the words kept, negative on failure;
 * *nextFrame (when not null) receives the stream position at which the next word sent is played:
 * the frames taken from the FIFO since VEK72_StreamStart plus the frames kept.
 *  - keepWords is rounded down to whole frames, and so is what the FIFO holds (a partial frame at
 *    its end is discarded too), so the next word sent begins frame *nextFrame. keepWords beyond
 *    what the FIFO holds keeps everything; 0 empties it (an underrun follows unless words come).
 *  - Not streaming: VEK72_E_WRONG_MODE; not running: VEK72_E_NOT_RUNNING; *nextFrame is written
 *    only on success. An answer that comes late (VEK72_E_TIMEOUT) is taken by the next call like
 *    any other: the service makes the cut when it gets to it, but its result and *nextFrame are lost.
 */
int VEK72_StreamCut(TVEK72* handle, uint32_t keepWords, uint64_t* nextFrame);
int VEK72_Stop(TVEK72* handle, uint32_t flags);

/* What the module reports of itself, as the crate service sees it now. */
typedef struct TVEK72_STATUS {
    uint8_t running;          /* non-zero while output runs */
    uint8_t configured;       /* non-zero while a configuration is applied */
    uint8_t enabledChannels;  /* channels enabled by that configuration */
    uint8_t outputMode;       /* its mode: 0 cyclic, 1 streaming */
    double outputRate;        /* samples per second and channel */
    double outputVolts[VEK72_MAX_CHANNELS]; /* the level each output holds now, volts (0 beyond the
                                               module's channels) */
} TVEK72_STATUS;

/*
 * The module's state as it is now, whoever left it so: whether output runs and the level each output
 * holds. A module that another client left behind (closed, crashed, dropped) may still run or hold
 * the last level it put out; a caller that opens a module learns from this what it took over. Fills
 * the handle's state block too.
 * Waits at most timeoutMs in all (no slack added): an answer still awaited from an earlier call is
 * taken first within the same bound, so a service that came back after a hang answers this at once.
 * VEK72_E_TIMEOUT while the service does not answer; the connection is kept, as for any call.
 */
int VEK72_GetStatus(TVEK72* handle, TVEK72_STATUS* status, uint32_t timeoutMs);
int VEK72_Close(TVEK72* handle);

/* Russian text (Windows-1251, NUL-terminated) for an error code; a text for unknown codes too. */
const char* VEK72_GetErrorString(int code);

#ifdef __cplusplus
}
#endif

#endif
