// What the first requests would otherwise pay for, done while the agent waits for its first
// peer-watch tick (nothing can be asked of it before then).
#pragma once

class CTokenAgent;

// Starts the token library if the agent left it for now (loading the module and initialising it
// takes milliseconds that would otherwise come before the window), readies the channels' views
// (ChannelSet::PrepareViews), loads the text converter of the ANSI code page, and builds OpenSSL's
// tables for digests and for the public key in a certificate: the login's first certificate and the
// first signature's digest would otherwise cost about a millisecond more.
void PrepareForRequests(CTokenAgent& agent);
