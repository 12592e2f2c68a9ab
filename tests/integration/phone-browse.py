#!/usr/bin/python3
# A phone on the desk's network, with a DNS-SD stack that is not Avahi: prints as JSON every
# _pivra._tcp service it resolves on ADDRESS within SECONDS, one second more after the first.
#   phone-browse.py ADDRESS SECONDS
import json, queue, sys, time

from zeroconf import IPVersion, ServiceBrowser, ServiceStateChange, Zeroconf

TYPE = "_pivra._tcp.local."
address, seconds = sys.argv[1], float(sys.argv[2])
zc = Zeroconf(interfaces=[address], ip_version=IPVersion.V4Only)
added = queue.Queue()
# The browser's thread only hands names over: resolving there would hold up its own queries.
browser = ServiceBrowser(zc, TYPE, handlers=[
    lambda zeroconf, service_type, name, state_change:
    state_change is ServiceStateChange.Added and added.put(name)])
found, deadline = [], time.monotonic() + seconds
try:
    while (left := deadline - time.monotonic()) > 0:
        try:
            name = added.get(timeout=left)
        except queue.Empty:
            break
        info = zc.get_service_info(TYPE, name, timeout=3000)
        found.append({"name": name, "unresolved": True} if info is None else {
            "name": name.removesuffix("." + TYPE),
            "addresses": info.parsed_addresses(IPVersion.V4Only),
            "port": info.port,
            # Strict, as a phone reads them: a value that is not UTF-8 fails here.
            "txt": {k.decode(): v.decode() for k, v in info.properties.items()},
        })
        deadline = min(deadline, time.monotonic() + 1)
finally:
    browser.cancel()
    zc.close()
print(json.dumps(found, ensure_ascii=False))
