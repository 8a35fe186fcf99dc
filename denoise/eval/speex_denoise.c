/* Runs the speexdsp preprocessor's noise suppressor (no AGC, no VAD, no dereverb) over raw
   16-bit little-endian mono audio: speex_denoise RATE FRAME_SAMPLES SUPPRESS_DB < in.raw > out.raw
   SUPPRESS_DB is the largest attenuation as a negative number of dB, e.g. -12. */
#include <speex/speex_preprocess.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main (int argc, char** argv)
{
    if (argc != 4)
    {
        fprintf (stderr, "usage: %s RATE FRAME_SAMPLES SUPPRESS_DB < in.raw > out.raw\n", argv[0]);
        return 1;
    }
    const int rate = atoi (argv[1]);
    const int frame = atoi (argv[2]);
    int suppress = atoi (argv[3]);
    if (rate <= 0 || frame <= 0)
        return 1;

    SpeexPreprocessState* st = speex_preprocess_state_init (frame, rate);
    int on = 1, off = 0;
    speex_preprocess_ctl (st, SPEEX_PREPROCESS_SET_DENOISE, &on);
    speex_preprocess_ctl (st, SPEEX_PREPROCESS_SET_AGC, &off);
    speex_preprocess_ctl (st, SPEEX_PREPROCESS_SET_VAD, &off);
    speex_preprocess_ctl (st, SPEEX_PREPROCESS_SET_DEREVERB, &off);
    speex_preprocess_ctl (st, SPEEX_PREPROCESS_SET_NOISE_SUPPRESS, &suppress);

    spx_int16_t* buffer = calloc ((size_t) frame, sizeof (spx_int16_t));
    size_t got;
    while ((got = fread (buffer, sizeof (spx_int16_t), (size_t) frame, stdin)) > 0)
    {
        if (got < (size_t) frame)
            memset (buffer + got, 0, ((size_t) frame - got) * sizeof (spx_int16_t));
        speex_preprocess_run (st, buffer);
        fwrite (buffer, sizeof (spx_int16_t), got, stdout);
    }
    free (buffer);
    speex_preprocess_state_destroy (st);
    return 0;
}
