// mytbf.h - token buckets refilled once a second by one background thread.
#ifndef MYTBF_H
#define MYTBF_H

#ifdef __cplusplus
extern "C" {
#endif

typedef struct mytbf_bucket mytbf_bucket;

mytbf_bucket *mytbf_init(int rate, int burst);
int mytbf_fetchtoken(mytbf_bucket *handle, int size);
int mytbf_returntoken(mytbf_bucket *handle, int size);
int mytbf_destroy(mytbf_bucket *handle);

#ifdef __cplusplus
}
#endif

#endif
