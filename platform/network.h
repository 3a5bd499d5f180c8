// TCP sockets for the server: the listening socket and its clients.
#pragma once
#include <cstddef>

constexpr int INVALID_SOCK = -1;

// How long one send to a client may block, and how long data sent to it may stay
// unacknowledged, before the connection counts as failed. Together with a small
// send buffer they bound how long a client that stops reading, or vanishes
// without a word, can hold up the others: the kernel would otherwise hide such a
// peer for hours behind megabytes of buffering.
constexpr int CLIENT_SEND_TIMEOUT_MS = 1500;
constexpr int CLIENT_UNACKED_TIMEOUT_MS = 8000;
constexpr int CLIENT_SEND_BUFFER = 4096;

// Makes sure a send to a peer that went away can never end the process. 0 on success.
int net_start();
void net_stop();
// Error number of the calling thread's last failed network call.
int net_last_error();

int sock_stream();
// Any local address, the given port. Restarting right after a stop binds at
// once; a port held by another listener still fails (EADDRINUSE, 98).
int sock_bind_any(int s, unsigned short port);
int sock_listen(int s, int backlog);
// Waits for the next connection and gives it with the client options set.
// Errors that belong to a caller who gave up (a reset before the accept, a
// network error on its path) and interrupted waits are not failures of the
// listening socket: the wait goes on. Gives INVALID_SOCK once the listening
// socket was stopped, and -2 for any other failure, with net_last_error() set.
int sock_accept(int s);
// Makes a thread waiting in sock_accept on s give up; the descriptor stays
// valid until sock_close.
void sock_stop_listening(int s);
// Sends n bytes with the send bound; gives the count sent or -1. A count short
// of n comes only from the bound running out, reported as EAGAIN.
int sock_send(int s, const void* buf, size_t n);
// Ends the connection as seen by the peer, keeping the descriptor.
void sock_shutdown(int s);
void sock_close(int s);

// The host name, always terminated; empty when it cannot be had.
void host_name(char* buf, size_t size);
