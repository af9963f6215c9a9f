/* clang-format off */
/* (this header is the manual, laid out by hand) */
/*
 * vclone — speak a text in the voice of a short reference recording.
 *
 * Usage, with a model handle and a voice made once:
 *
 *     vclone_model *model = vclone_model_load("model.pt", "vocab.json", NULL);
 *     if (!model) { fprintf(stderr, "%s\n", vclone_get_last_error()); return 1; }
 *     vclone_voice *voice = vclone_voice_from_wav(model, "reference.wav");
 *     vclone_options options = vclone_default_options();
 *     options.seed = 7;                          // repeatable samples
 *     int32_t n = 0;
 *     float *pcm = vclone_speak(model, "Hello there.", "en", voice, &options, &n);
 *     if (pcm) { play(pcm, n); vclone_free(pcm); }  // n mono samples at 24000 Hz
 *     vclone_voice_save(voice, "me.vcv");        // reuse it later without the recording
 *     vclone_voice_free(voice);
 *     vclone_model_free(model);
 *
 * The first eight functions below (vclone_load ... manifest_close) are the
 * original one-model-per-process interface; they still work and run on one
 * process-wide handle.
 *
 * Threads: up to max_parallel vclone_speak and vclone_speak_stream calls on
 * one model, from different threads, run together: each decode step reads
 * the weights once for all of them, and a seeded call gives the same samples
 * alone or beside others. Further calls wait their turn in arrival order.
 * Different models run side by side. A voice may be used by several calls at
 * once. vclone_load and vclone_unload must not overlap any
 * other call of the original interface. The error message is kept per thread.
 * Computation runs on the caller's thread and compute threads: a model uses
 * n_threads of them (or every core this process may use, unless
 * OMP_NUM_THREADS is set) in every call, its load included, setting that
 * count for the calling thread only while the call runs. The library never
 * changes libtorch's thread count for other threads of the process.
 *
 * Ownership: sample buffers (vclone_tts, vclone_speak) and strings returned by
 * vclone_vocab_languages are released with vclone_free() (free() works too,
 * where the host shares the library's C runtime); a model with
 * vclone_model_free, a voice with vclone_voice_free, a manifest handle with
 * manifest_close. Strings returned as const char * belong to the library.
 *
 * Diagnostics go to standard error, one line each, unless vclone_log_set
 * redirects or silences them.
 *
 * Option structs and compatibility: vclone_load_options and vclone_options
 * are always obtained from their vclone_default_*() function and then edited
 * by field. Each ends in reserved space that later versions turn into new
 * fields, so the structs never change size and a host compiled against this
 * header keeps working with later libraries (the new fields keep the
 * defaults the library wrote). A library that finds a reserved word set
 * (a host newer than the library) fails the call with a message.
 */
#ifndef VCLONE_H
#define VCLONE_H

#include <stddef.h>
#include <stdint.h>

#if defined(VCLONE_BUILDING)
#define VCLONE_API __attribute__((visibility("default")))
#else
#define VCLONE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- The original interface: one process-wide model ------------------- */

/* Loads the weight archive and the tokenizer vocabulary (JSON).
 * Returns 0 on success, -1 on failure (also when a model is already loaded). */
VCLONE_API int vclone_load(const char *model_path,
                           const char *vocab_path);

/* Speaks text (UTF-8) in the voice of ref_wav for the language code
 * ("en", "zh-cn", ...). speed > 0 shortens the longest possible result.
 * Returns malloc'ed mono float samples at 24000 Hz, *n_samples of them; the
 * caller frees them with vclone_free(). Returns NULL on failure. */
VCLONE_API float *vclone_tts(const char *text,
                             const char *ref_wav,
                             const char *language,
                             int        *n_samples,
                             float       speed);

/* As vclone_tts, but writes a mono 16-bit PCM WAV file at 24000 Hz to out_path.
 * Returns 0 on success, -1 on failure. */
VCLONE_API int vclone_tts_to_file(const char *text,
                                  const char *ref_wav,
                                  const char *language,
                                  const char *out_path,
                                  float       speed);

/* Releases the loaded model. Harmless when nothing is loaded. */
VCLONE_API void vclone_unload(void);

/* The calling thread's last error message, or NULL when it has none.
 * Valid until the next error on the same thread. Not cleared by a success. */
VCLONE_API const char *vclone_get_last_error(void);

/* Opens a weight archive and reads its tensor manifest, without loading a model.
 * Returns a handle to release with manifest_close, or NULL on failure. */
VCLONE_API void *manifest_open(const char *path);

/* Number of tensors in the manifest, or -1 for a NULL handle. */
VCLONE_API int manifest_count(void *handle);

/* Releases a handle from manifest_open. NULL is ignored. */
VCLONE_API void manifest_close(void *handle);

/* ---- Library facts ------------------------------------------------------ */

/* The library version, "MAJOR.MINOR.PATCH". */
VCLONE_API const char *vclone_version(void);

/* Sample rate of every result: 24000. */
VCLONE_API int32_t vclone_sample_rate(void);

/* Releases a buffer or string the library returned (samples, language lists).
 * NULL is ignored. The same as the C runtime's free(), for hosts that do not
 * share it with the library (other languages, other runtimes). */
VCLONE_API void vclone_free(void *buffer);

/* Tensor `index` (0 .. manifest_count - 1, in name order) of a manifest:
 * its name, and up to max_dims sizes in dims. Returns the number of
 * dimensions, or -1 for a bad handle or index. The name belongs to the handle. */
VCLONE_API int32_t vclone_manifest_tensor(void        *handle,
                                          int32_t      index,
                                          const char **name,
                                          int64_t     *dims,
                                          int32_t      max_dims);

/* The language codes a vocabulary file (or a prepared model) has, separated
 * by single spaces ("en es fr ..."), malloc'ed; vclone_free() it. NULL on failure. */
VCLONE_API char *vclone_vocab_languages(const char *vocab_path);

/* ---- Logging ------------------------------------------------------------ */

typedef enum {
    VCLONE_LOG_DEBUG = 0,   /* shapes and progress of each stage */
    VCLONE_LOG_INFO  = 1,   /* loading, per-call summaries */
    VCLONE_LOG_WARN  = 2,
    VCLONE_LOG_ERROR = 3    /* every failure, as recorded for vclone_get_last_error */
} vclone_log_level;

/* Receives one line (no trailing newline), valid during the call only. It may
 * be called from any thread that calls into the library. */
typedef void (*vclone_log_callback)(int32_t level, const char *line, void *user_data);

/* Sends every diagnostic line to callback, process-wide. NULL restores the
 * default: each line to standard error. A callback that ignores its lines
 * silences the library. */
VCLONE_API void vclone_log_set(vclone_log_callback callback,
                               void               *user_data);

/* ---- Models ------------------------------------------------------------- */

typedef struct vclone_model vclone_model;

typedef enum {
    VCLONE_PRECISION_F32  = 0,   /* float32 decoder weights (default) */
    VCLONE_PRECISION_BF16 = 1,   /* bfloat16 decoder weights: half the bytes per code */
    VCLONE_PRECISION_INT8 = 2    /* int8 decoder weights, a float scale per row */
} vclone_precision;

typedef struct {
    int32_t n_threads;    /* compute threads; 0 = every core (default) */
    int32_t precision;    /* a vclone_precision; VCLONE_PRECISION_F32 by default */
    int32_t max_parallel; /* syntheses that share each decode step, 1 .. 64; 4 (1: one at a time) */
    int32_t reserved32;   /* zero */
    int64_t reserved[14]; /* zero; later fields come from here */
} vclone_load_options;

VCLONE_API vclone_load_options vclone_default_load_options(void);

/* Loads a weight archive and its vocabulary, or a prepared model (see
 * vclone_model_prepare; recognised by its first bytes, whatever its name),
 * for which vocab_path may be NULL: it embeds its vocabulary. options NULL =
 * defaults; a prepared model runs at the precision it was prepared for, and
 * options asking for another precision than that or VCLONE_PRECISION_F32 fail.
 * Returns a fully built model, or NULL with a message. */
VCLONE_API vclone_model *vclone_model_load(const char                *model_path,
                                           const char                *vocab_path,
                                           const vclone_load_options *options);

/* Releases a model. NULL is ignored. Must not overlap a call on the model. */
VCLONE_API void vclone_model_free(vclone_model *model);

/* The language codes of the model's vocabulary, separated by single spaces.
 * Belongs to the model. */
VCLONE_API const char *vclone_model_languages(const vclone_model *model);

/* What a model is doing, for monitoring. */
typedef struct {
    int32_t max_parallel;          /* as loaded */
    int32_t running;               /* speaking calls holding a place */
    int32_t waiting;               /* speaking calls waiting for one */
    int32_t step_rows;             /* syntheses in the latest decode step */
    int64_t steps;                 /* decode steps so far */
    double  step_seconds;          /* their total time */
    int64_t step_time_buckets[8];  /* steps of at most 5, 10, 20, 40, 80, 160, 320 ms, and longer */
    int64_t reserved[8];
} vclone_model_activity;

/* Fills *activity. Returns 0, or -1 for a NULL argument. */
VCLONE_API int vclone_model_get_activity(vclone_model *model, vclone_model_activity *activity);

/* Adds a pronunciation lexicon to the model: a UTF-8 file of
 * "language<TAB>word<TAB>replacement" lines (language "*" for every one;
 * blank lines and lines starting with # are skipped). vclone_speak and
 * vclone_speak_stream replace each whole word found, case-insensitively,
 * before normalisation. Returns 0, or -1 with a message naming the file and
 * line (and the model's lexicon unchanged). Not while the model speaks. */
VCLONE_API int vclone_model_load_lexicon(vclone_model *model,
                                         const char   *path);

/* Writes out_path, a prepared model: the archive's tensors in the layout the
 * kernels read at precision (a vclone_precision; the decoder converted
 * already), the vocabulary, and checksums. Loading it maps the file
 * read-only instead of reading and converting the archive, and processes
 * that load the same file share its memory. Returns 0, or -1 with a message. */
VCLONE_API int vclone_model_prepare(const char *model_path,
                                    const char *vocab_path,
                                    int32_t     precision,
                                    const char *out_path);

/* Reads every byte of a prepared model and checks it against its checksums.
 * Returns 0 when it is sound, or -1 with a message saying what is wrong. */
VCLONE_API int vclone_model_verify(const char *path);

/* ---- Voices ------------------------------------------------------------- */

/* A voice: the conditioning latents and speaker embedding of a reference
 * recording. It does not depend on the model it was made with once made, and
 * works with any model of the same dimensions. */
typedef struct vclone_voice vclone_voice;

/* Computes a voice from a reference recording (WAV, FLAC, Ogg or MP3; at most
 * ten minutes; the first 24 seconds condition the voice). NULL on failure. */
VCLONE_API vclone_voice *vclone_voice_from_wav(vclone_model *model,
                                               const char   *ref_wav);

/* Writes a voice file (a small archive, like the weight archives).
 * Returns 0, or -1 with a message. */
VCLONE_API int vclone_voice_save(const vclone_voice *voice,
                                 const char         *path);

/* Reads a voice file. NULL with a message when it is not a valid voice. */
VCLONE_API vclone_voice *vclone_voice_load(const char *path);

/* Releases a voice. NULL is ignored. */
VCLONE_API void vclone_voice_free(vclone_voice *voice);

/* ---- Speaking ----------------------------------------------------------- */

/* The spoken form of a UTF-8 text in language: numbers, ordinals, years,
 * dates, times, money, percentages, units, abbreviations, Roman numerals after
 * names and phone numbers as words ("$5.50" -> "five dollars and fifty
 * cents"); anything not understood stays as written. Returns a malloc'ed
 * string freed with free(), or NULL with a message for an unknown language. */
VCLONE_API char *vclone_normalize_text(const char *text,
                                       const char *language);

/* seed value that draws from libtorch's global generator, as vclone_tts does. */
#define VCLONE_NO_SEED UINT64_MAX

typedef struct {
    float    temperature;          /* (0, 10]; 0.75 */
    int32_t  top_k;                /* 0 (off) .. 1026; 50 */
    float    top_p;                /* (0, 1]; 0.85 */
    float    repetition_penalty;   /* [1, 100]; 5.0 */
    uint64_t seed;                 /* VCLONE_NO_SEED, or any other value */
    int32_t  max_codes;            /* audio codes per piece, 4 .. 606; 602 (~28 s) */
    float    speed;                /* speaking rate, 0.25 .. 4; 1.0 is natural */
    int32_t  split_text;           /* non-zero: long text is split into pieces; 1 */
    float    pause_seconds;        /* silence between pieces, 0 .. 10; 0.2 */
    int32_t  stream_first_codes;   /* streaming: codes in the first chunk, 4 .. 606; 12 */
    int32_t  stream_chunk_codes;   /* streaming: codes in later chunks, 4 .. 606; 64 */
    int32_t  normalize;            /* 1: numbers, dates, money, units, abbreviations read as
                                      words (see vclone_normalize_text); 0: text as given; 1 */
    int32_t  ssml;                 /* 1: text is an SSML <speak> document; 0 */
    int64_t  reserved[11];         /* zero; later fields come from here */
} vclone_options;

VCLONE_API vclone_options vclone_default_options(void);

/* Speaks text (UTF-8) in language ("en", "zh-cn", ...; see
 * vclone_model_languages) with voice. options NULL = defaults. A long text is
 * split into sentences and pieces that are spoken in order and joined with
 * pause_seconds of silence. Returns malloc'ed mono samples at
 * vclone_sample_rate(), *n_samples of them, freed with vclone_free(); NULL with a
 * message on failure (an out-of-range option fails before any work). */
VCLONE_API float *vclone_speak(vclone_model         *model,
                               const char           *text,
                               const char           *language,
                               const vclone_voice   *voice,
                               const vclone_options *options,
                               int32_t              *n_samples);

/* Receives each new stretch of audio, in order, on the synthesising thread.
 * The samples are valid during the call only. Returning non-zero stops the
 * synthesis. */
typedef int (*vclone_audio_callback)(const float *samples, int n_samples, void *user_data);

/* As vclone_speak, but delivers the audio while it is made. Returns 0 when all
 * audio was delivered, 1 when the callback stopped it, -1 on failure with a
 * message (audio already delivered stays delivered). */
VCLONE_API int vclone_speak_stream(vclone_model          *model,
                                   const char            *text,
                                   const char            *language,
                                   const vclone_voice    *voice,
                                   const vclone_options  *options,
                                   vclone_audio_callback  on_audio,
                                   void                  *user_data);

#ifdef __cplusplus
}
#endif

#endif /* VCLONE_H */
/* clang-format on */
