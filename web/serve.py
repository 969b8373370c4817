#!/usr/bin/env python3
"""Serves the built page on 127.0.0.1, and a media folder's files at /media/NAME on the same
origin. Prints the page's URL on one line; stops on Ctrl-C or SIGTERM with status 0."""
import argparse
import functools
import http.server
import os
import signal
import sys
import threading
import urllib.parse


class Handler(http.server.SimpleHTTPRequestHandler):
    extensions_map = {**http.server.SimpleHTTPRequestHandler.extensions_map,
                      ".wasm": "application/wasm", ".js": "text/javascript", ".y4m": "video/x-yuv4mpeg",
                      ".webmanifest": "application/manifest+json"}

    def __init__(self, *args, media=None, **kwargs):
        self.media = media
        super().__init__(*args, **kwargs)

    def media_file(self):
        """The media folder's file a /media/NAME request names, or None for any other request."""
        parts = urllib.parse.urlsplit(self.path).path
        if not self.media or not parts.startswith("/media/"):
            return None
        name = urllib.parse.unquote(parts[len("/media/"):])
        # One file of the folder, by name: nothing above or below it.
        if not name or "/" in name or "\\" in name or "\0" in name or name in (".", ".."):
            return ""
        # Links resolved: a link that leads out of the folder serves nothing.
        real = os.path.realpath(os.path.join(self.media, name))
        if os.path.commonpath([real, self.media]) != self.media or not os.path.isfile(real):
            return ""
        return real

    def send_head(self):
        if self.media_file() == "":
            self.send_error(404, "no such media file")
            return None
        return super().send_head()

    def translate_path(self, path):
        media = self.media_file()
        return media if media else super().translate_path(path)

    def end_headers(self):
        self.send_header("Cache-Control", "no-store")
        super().end_headers()

    def log_message(self, format, *args):
        pass  # a quiet terminal: the URL line is what matters


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        # A browser that goes away mid-file (a page left, a cache filled and stopped) is no error.
        if isinstance(sys.exc_info()[1], (BrokenPipeError, ConnectionResetError)):
            return
        super().handle_error(request, client_address)


def main():
    parser = argparse.ArgumentParser(prog="scripts/web", description="Serves the Pixelwell page on 127.0.0.1.")
    parser.add_argument("--port", type=int, default=0, help="port (default: a free one)")
    parser.add_argument("--media", help="a folder whose files the page can play as source=/media/NAME")
    parser.add_argument("--site", required=True, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if not 0 <= args.port <= 65535:
        parser.error(f"--port must be from 0 to 65535: {args.port}")
    media = None
    if args.media is not None:
        media = os.path.realpath(args.media)
        if not os.path.isdir(media):
            parser.error(f"--media {args.media}: no such folder")
    handler = functools.partial(Handler, directory=args.site, media=media)
    try:
        server = Server(("127.0.0.1", args.port), handler)
    except OSError as error:
        print(f"scripts/web: cannot serve on 127.0.0.1:{args.port}: {error.strerror}", file=sys.stderr)
        return 1

    def stop(signum, frame):
        threading.Thread(target=server.shutdown).start()

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    print(f"http://127.0.0.1:{server.server_address[1]}/", flush=True)
    server.serve_forever()
    server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
