// SPDX-License-Identifier: ISC
// SPDX-License-Identifier: MIT
// A do-nothing ALSA sequencer, preloaded (LD_PRELOAD) into hosts that refuse to start without one
// (Qtractor) on machines without /dev/snd/seq, such as a container. Opening succeeds with a handle of
// ours; every call that would talk to the kernel through it succeeds with nothing to report: no
// clients or ports to list, no input (reads say "try again"), output dropped, queues that never
// move. The poll descriptor is a pipe's read end that never becomes readable. MIDI then reaches the
// host through JACK only. The info, event and queue-record helpers that work on plain memory stay
// ALSA's own.
#include <alsa/asoundlib.h>
#include <errno.h>
#include <poll.h>
#include <string.h>
#include <unistd.h>

struct _snd_seq {
  int pipe[2];
  int nextPort;
  int nextQueue;
};

static struct _snd_seq gSeq = {{-1, -1}, 0, 0};
static const int kClientId = 128;

int snd_seq_open(snd_seq_t** handle, const char* name, int streams, int mode)
{
  (void)name, (void)streams, (void)mode;
  if (gSeq.pipe[0] < 0 && pipe(gSeq.pipe) != 0)
    return -errno;
  *handle = &gSeq;
  return 0;
}

int snd_seq_close(snd_seq_t* handle)
{
  (void)handle;
  return 0;
}
int snd_seq_client_id(snd_seq_t* handle)
{
  (void)handle;
  return kClientId;
}
int snd_seq_set_client_name(snd_seq_t* handle, const char* name)
{
  (void)handle, (void)name;
  return 0;
}

int snd_seq_create_simple_port(snd_seq_t* handle, const char* name, unsigned int caps, unsigned int type)
{
  (void)name, (void)caps, (void)type;
  return handle->nextPort++;
}

int snd_seq_delete_simple_port(snd_seq_t* handle, int port)
{
  (void)handle, (void)port;
  return 0;
}
int snd_seq_alloc_queue(snd_seq_t* handle)
{
  return handle->nextQueue++;
}
int snd_seq_free_queue(snd_seq_t* handle, int q)
{
  (void)handle, (void)q;
  return 0;
}
int snd_seq_control_queue(snd_seq_t* handle, int q, int type, int value, snd_seq_event_t* ev)
{
  (void)handle, (void)q, (void)type, (void)value, (void)ev;
  return 0;
}
int snd_seq_drain_output(snd_seq_t* handle)
{
  (void)handle;
  return 0;
}
int snd_seq_drop_input(snd_seq_t* handle)
{
  (void)handle;
  return 0;
}
int snd_seq_drop_output(snd_seq_t* handle)
{
  (void)handle;
  return 0;
}
int snd_seq_event_input(snd_seq_t* handle, snd_seq_event_t** ev)
{
  (void)handle;
  *ev = NULL;
  return -EAGAIN;
}
int snd_seq_event_input_pending(snd_seq_t* handle, int fetch)
{
  (void)handle, (void)fetch;
  return 0;
}
int snd_seq_event_output(snd_seq_t* handle, snd_seq_event_t* ev)
{
  (void)handle, (void)ev;
  return 0;
}
int snd_seq_event_output_direct(snd_seq_t* handle, snd_seq_event_t* ev)
{
  (void)handle, (void)ev;
  return 0;
}
int snd_seq_get_any_client_info(snd_seq_t* handle, int client, snd_seq_client_info_t* info)
{
  (void)handle, (void)client, (void)info;
  return -ENOENT;
}
int snd_seq_get_any_port_info(snd_seq_t* handle, int client, int port, snd_seq_port_info_t* info)
{
  (void)handle, (void)client, (void)port, (void)info;
  return -ENOENT;
}
int snd_seq_get_port_info(snd_seq_t* handle, int port, snd_seq_port_info_t* info)
{
  (void)handle, (void)port, (void)info;
  return 0;
}
int snd_seq_set_port_info(snd_seq_t* handle, int port, snd_seq_port_info_t* info)
{
  (void)handle, (void)port, (void)info;
  return 0;
}
int snd_seq_get_queue_status(snd_seq_t* handle, int q, snd_seq_queue_status_t* status)
{
  (void)handle, (void)q, (void)status;
  return 0;
}
int snd_seq_get_queue_tempo(snd_seq_t* handle, int q, snd_seq_queue_tempo_t* tempo)
{
  (void)handle, (void)q, (void)tempo;
  return 0;
}
int snd_seq_set_queue_tempo(snd_seq_t* handle, int q, snd_seq_queue_tempo_t* tempo)
{
  (void)handle, (void)q, (void)tempo;
  return 0;
}
int snd_seq_set_queue_timer(snd_seq_t* handle, int q, snd_seq_queue_timer_t* timer)
{
  (void)handle, (void)q, (void)timer;
  return 0;
}
int snd_seq_poll_descriptors_count(snd_seq_t* handle, short events)
{
  (void)handle, (void)events;
  return 1;
}
int snd_seq_poll_descriptors(snd_seq_t* handle, struct pollfd* pfds, unsigned int space, short events)
{
  if (space < 1)
    return 0;
  pfds[0].fd = handle->pipe[0];
  pfds[0].events = events;
  pfds[0].revents = 0;
  return 1;
}
int snd_seq_query_next_client(snd_seq_t* handle, snd_seq_client_info_t* info)
{
  (void)handle, (void)info;
  return -ENOENT;
}
int snd_seq_query_next_port(snd_seq_t* handle, snd_seq_port_info_t* info)
{
  (void)handle, (void)info;
  return -ENOENT;
}
int snd_seq_query_port_subscribers(snd_seq_t* handle, snd_seq_query_subscribe_t* subs)
{
  (void)handle, (void)subs;
  return -ENOENT;
}
int snd_seq_remove_events(snd_seq_t* handle, snd_seq_remove_events_t* remove)
{
  (void)handle, (void)remove;
  return 0;
}
int snd_seq_subscribe_port(snd_seq_t* handle, snd_seq_port_subscribe_t* sub)
{
  (void)handle, (void)sub;
  return 0;
}
int snd_seq_unsubscribe_port(snd_seq_t* handle, snd_seq_port_subscribe_t* sub)
{
  (void)handle, (void)sub;
  return 0;
}
