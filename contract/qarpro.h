/*
 * QARPRO, the host runtime library a driver module is loaded against.
 *
 * The first part is what a driver imports: six C functions, cdecl. The second
 * part is what a host (or a test) uses to run the library: log and gate sinks,
 * gate tables, posting messages to clients. A driver never calls the second part.
 */
#ifndef QARPRO_QARPRO_H
#define QARPRO_QARPRO_H

#include <stdint.h>

#if defined(_WIN32)
#  if defined(QARPRO_BUILDING)
#    define QARPRO_API __declspec(dllexport)
#  else
#    define QARPRO_API __declspec(dllimport)
#  endif
#else
#  define QARPRO_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- What a driver imports ------------------------------------------------ */

/* Creates a message client; its id is stored through client_id_slot (one byte
 * written, the rest of the slot untouched). 0 on success. */
QARPRO_API uint16_t QarMkClient(const char *name, int32_t arg1, int32_t arg2, void *client_id_slot);
/* With arg 1, blocks until a message is posted to the client, copies it into the
 * 24-byte buffer and returns 0. Any other arg polls: 1 when nothing is queued. */
QARPRO_API uint16_t QarWaitMsg(uint8_t client, void *message24, int32_t arg);
QARPRO_API uint16_t QarRmClient(uint8_t client);
/* 0 and the gate's id when a gate of that name exists (or the table creates
 * gates on demand); 1 otherwise. */
QARPRO_API uint16_t QarGetGateId(uint8_t client, const char *name, uint32_t *gate_id);
QARPRO_API uint16_t QarPutGateVal(uint8_t client, uint32_t gate_id, int32_t arg1, double value,
                                  int32_t arg2, int32_t arg3);
/* One log line, formatted with the printf rules, handed to the host's log sink. */
QARPRO_API void err(int32_t level, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

/* ---- What a host uses ----------------------------------------------------- */

typedef void (*QarLogSink)(void *user, int32_t level, const char *line);
/* A store into a gate: the client that stored it, the gate, its name, the value. */
typedef void (*QarGateSink)(void *user, uint8_t client, uint32_t gate_id, const char *name,
                            double value);

/* Log lines go to the sink; NULL restores the default (stderr). Once a setter
 * returns, no call of the sink it replaced is still running. A sink must not
 * log (or, for the gate sink, store a gate value) itself. */
QARPRO_API void QarHostSetLogSink(QarLogSink sink, void *user);
/* Every QarPutGateVal is reported to the sink after the table is updated. */
QARPRO_API void QarHostSetGateSink(QarGateSink sink, void *user);

/* Gates. Ids start at 1 and are never reused. */
QARPRO_API uint32_t QarHostAddGate(const char *name);
/* When on, QarGetGateId creates a gate for any name it is asked for. */
QARPRO_API void QarHostSetDiscovery(int32_t on);
QARPRO_API uint32_t QarHostGateCount(void);
/* Fills the gate's name (up to name_size bytes, NUL-terminated), last value and
 * count of stores; 0 on success, 1 for an unknown id. */
QARPRO_API uint16_t QarHostGetGate(uint32_t gate_id, char *name, uint32_t name_size, double *value,
                                   uint32_t *stores);
QARPRO_API uint16_t QarHostFindGate(const char *name, uint32_t *gate_id);
/* How many QarGetGateId calls were made since the last reset. */
QARPRO_API uint64_t QarHostLookupCount(void);

/* Clients. */
/* The next `count` QarMkClient calls fail with status 2. */
QARPRO_API void QarHostFailClientCreation(uint32_t count);
/* Finds a live client by name; 0 on success. */
QARPRO_API uint16_t QarHostFindClient(const char *name, uint8_t *client);
QARPRO_API uint32_t QarHostClientCount(void);
/* Queues a message for the client and wakes its waiter; 0 on success, 1 when no
 * such client exists. */
QARPRO_API uint16_t QarHostPostMsg(uint8_t client, const void *message24);
/* Posts an empty message to every live client: what a host does at shutdown. */
QARPRO_API void QarHostPostAll(void);

/* Forgets every gate, client, queued message and counter. Sinks stay. */
QARPRO_API void QarHostReset(void);

#ifdef __cplusplus
}
#endif

#endif
