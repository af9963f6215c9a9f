/*
 * vclone — speak a text in the voice of a short reference recording.
 *
 * Usage:
 *
 *     if (vclone_load("model.pt", "vocab.json") != 0) {
 *         fprintf(stderr, "%s\n", vclone_get_last_error());
 *         return 1;
 *     }
 *     int n = 0;
 *     float *pcm = vclone_tts("Hello there.", "voice.wav", "en", &n, 1.0f);
 *     if (pcm) {
 *         play(pcm, n);                  // n mono samples at 24000 Hz
 *         free(pcm);
 *     }
 *     vclone_unload();
 *
 * Threads: one model per process. vclone_load and vclone_unload must not
 * overlap any other call of this library; synthesis calls only read the model.
 * The error message is kept per thread and is never seen by another thread.
 * Computation runs on the caller's thread and libtorch's compute threads;
 * vclone_load sets those to every available core unless OMP_NUM_THREADS is set.
 *
 * Ownership: the buffer returned by vclone_tts is released with free(); a
 * manifest handle with manifest_close(). Everything else belongs to the library.
 *
 * Diagnostics are written to standard error, one line each.
 */
#ifndef VCLONE_H
#define VCLONE_H

#include <stddef.h>

#if defined(VCLONE_BUILDING)
#define VCLONE_API __attribute__((visibility("default")))
#else
#define VCLONE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Loads the weight archive and the tokenizer vocabulary (JSON).
 * Returns 0 on success, -1 on failure (also when a model is already loaded). */
VCLONE_API int vclone_load(const char *model_path,
                           const char *vocab_path);

/* Speaks text (UTF-8) in the voice of ref_wav (16-bit PCM WAV) for the language
 * code ("en", "zh-cn", ...). speed > 0 shortens the longest possible result.
 * Returns malloc'ed mono float samples at 24000 Hz, *n_samples of them; the
 * caller frees them with free(). Returns NULL on failure. */
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

#ifdef __cplusplus
}
#endif

#endif /* VCLONE_H */
