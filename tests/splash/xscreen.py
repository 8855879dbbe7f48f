"""A virtual X screen for the splash tests and the screenshot script: Xvfb,
screen captures (xwd, parsed here), window events, the splash picture and the
fade's frames worked out independently of the launcher."""

import ctypes
import os
import select
import struct
import subprocess
import time
import zlib

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
MAKE_SAMPLE_ART = os.path.join(ROOT, "tools", "make-sample-art")

SCREEN_WIDTH, SCREEN_HEIGHT = 1024, 768
SPLASH_WIDTH, SPLASH_HEIGHT = 397, 210
# Where the launcher centres the splash on a 1024 x 768 screen.
SPLASH_X, SPLASH_Y = (SCREEN_WIDTH - SPLASH_WIDTH) // 2, (SCREEN_HEIGHT - SPLASH_HEIGHT) // 2
FRAMES = 10
WINDOW_TITLE = "Mirelk Install Wizard"


class XServer:
    """Xvfb on a display number it picks itself (-displayfd), 1024x768, 24 bits,
    with the classic grey weave on the root (-retro): a plain black root would
    look just like the splash window before its first frame. -noreset: by
    default the server resets whenever its last client leaves, and refuses
    connections while it does."""

    def __init__(self):
        read_end, write_end = os.pipe()
        try:
            self.process = subprocess.Popen(
                ["Xvfb", "-displayfd", str(write_end), "-screen", "0",
                 f"{SCREEN_WIDTH}x{SCREEN_HEIGHT}x24", "-nolisten", "tcp", "-retro", "-noreset"],
                pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        finally:
            os.close(write_end)
        try:
            # Xvfb writes the number once it accepts connections.
            number = b""
            deadline = time.monotonic() + 30
            while not number.endswith(b"\n"):
                left = deadline - time.monotonic()
                if left <= 0 or not select.select([read_end], [], [], left)[0]:
                    raise RuntimeError("Xvfb did not start")
                chunk = os.read(read_end, 16)
                if not chunk:
                    raise RuntimeError("Xvfb ended before accepting connections")
                number += chunk
        except BaseException:
            self.process.kill()
            self.process.wait()
            raise
        finally:
            os.close(read_end)
        self.number = int(number)
        self.display = f":{self.number}"

    def kill(self):
        """Ends the server at once, as a crash would, and tidies what it leaves."""
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()
        for leftover in (f"/tmp/.X{self.number}-lock", f"/tmp/.X11-unix/X{self.number}"):
            try:
                os.unlink(leftover)
            except FileNotFoundError:
                pass

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                pass
        self.kill()


class Screenshot:
    """A capture of the whole screen, read from xwd's ZPixmap dump."""

    def __init__(self, data):
        header = struct.unpack(">25I", data[:100])
        (header_size, version, pixmap_format, _depth, self.width, self.height, _xoffset,
         byte_order, _unit, _bit_order, _pad, bits_per_pixel, self.bytes_per_line, _class,
         red_mask, green_mask, blue_mask, _bits_per_rgb, _entries, ncolours) = header[:20]
        # Mostly 32 bits per pixel; with other clients' windows up (Wine's),
        # xwd may hand back packed 24-bit pixels.
        if version != 7 or pixmap_format != 2 or bits_per_pixel not in (24, 32):
            raise ValueError(f"unexpected xwd dump: version {version}, format {pixmap_format}, "
                             f"{bits_per_pixel} bits per pixel")
        self.pixel_bytes = bits_per_pixel // 8
        self.offsets = []
        for mask in (red_mask, green_mask, blue_mask):
            shift = (mask & -mask).bit_length() - 1
            if mask >> shift != 0xFF or shift % 8:
                raise ValueError(f"unexpected channel mask {mask:#x}")
            byte = shift // 8
            self.offsets.append(byte if byte_order == 0 else self.pixel_bytes - 1 - byte)
        self.data = memoryview(data)[header_size + 12 * ncolours:]

    def region(self, x, y, width, height):
        """Red, green, blue bytes of a rectangle, top row first."""
        out = bytearray(width * height * 3)
        red, green, blue = self.offsets
        step = self.pixel_bytes
        for row in range(height):
            start = (y + row) * self.bytes_per_line + step * x
            pixels = self.data[start:start + step * width]
            at = row * width * 3
            out[at:at + width * 3:3] = pixels[red::step]
            out[at + 1:at + width * 3:3] = pixels[green::step]
            out[at + 2:at + width * 3:3] = pixels[blue::step]
        return bytes(out)


def capture(display):
    # With windows of several visuals up (Wine makes some), xwd walks them
    # one by one, and one that goes meanwhile fails the capture: try again.
    for _ in range(5):
        result = subprocess.run(["xwd", "-root", "-silent", "-display", display], capture_output=True)
        if result.returncode == 0:
            return Screenshot(result.stdout)
    raise RuntimeError(f"xwd failed: {result.stderr.decode(errors='replace').strip()}")


def splash_area(shot):
    return shot.region(SPLASH_X, SPLASH_Y, SPLASH_WIDTH, SPLASH_HEIGHT)


def surroundings(shot, margin=8):
    """The band of `margin` pixels around the splash's place."""
    left, top = SPLASH_X - margin, SPLASH_Y - margin
    wide = SPLASH_WIDTH + 2 * margin
    return (shot.region(left, top, wide, margin)
            + shot.region(left, SPLASH_Y + SPLASH_HEIGHT, wide, margin)
            + shot.region(left, SPLASH_Y, margin, SPLASH_HEIGHT)
            + shot.region(SPLASH_X + SPLASH_WIDTH, SPLASH_Y, margin, SPLASH_HEIGHT))


def make_sample_splash(path):
    subprocess.run([MAKE_SAMPLE_ART, "--splash", path], check=True)


def read_bmp(path):
    """(width, height, RGB bytes top row first) of a 24-bit uncompressed BMP."""
    with open(path, "rb") as f:
        data = f.read()
    offset, = struct.unpack_from("<I", data, 10)
    width, height, _planes, bits, compression = struct.unpack_from("<iiHHI", data, 18)
    if data[:2] != b"BM" or bits != 24 or compression != 0:
        raise ValueError(f"{path}: not a 24-bit uncompressed BMP")
    rows = abs(height)
    stride = (width * 3 + 3) // 4 * 4
    out = bytearray()
    for row in range(rows):
        stored = row if height < 0 else rows - 1 - row
        start = offset + stored * stride
        bgr = data[start:start + width * 3]
        rgb = bytearray(len(bgr))
        rgb[0::3], rgb[1::3], rgb[2::3] = bgr[2::3], bgr[1::3], bgr[0::3]
        out += rgb
    return width, rows, bytes(out)


def fade_frames(picture):
    """What the window shows after each frame: frame k blends the picture at
    alpha 10k/255 over the previous frame, starting from black, each channel
    rounded to nearest."""
    frames = []
    canvas = bytes(len(picture))
    for frame in range(FRAMES):
        alpha = 10 * frame
        table = [[(s * alpha + c * (255 - alpha) + 127) // 255 for c in range(256)]
                 for s in range(256)]
        canvas = bytes(table[s][c] for s, c in zip(picture, canvas))
        frames.append(canvas)
    return frames


def frames_shown(area, frames):
    """(k, k) when the area shows exactly frame k; (k, k + 1) when every pixel
    shows frame k or frame k + 1 and both appear; None for anything else.

    Xlib sends an image as several PutImage requests of at most 256 KiB (the
    397 x 210 window at 4 bytes a pixel takes two), and the server may answer
    a capture between them: a capture taken while frame k + 1 is being drawn
    shows part of it over the rest of frame k. Both frames are known exactly,
    so such a capture is judged pixel by pixel; nothing is tolerated."""
    for k, image in enumerate(frames):
        if area == image:
            return k, k
    row = SPLASH_WIDTH * 3
    for k in range(len(frames) - 1):
        old, new = frames[k], frames[k + 1]
        if all(_from_either(area, old, new, start, start + row)
               for start in range(0, len(area), row)):
            return k, k + 1
    return None


def _from_either(area, old, new, start, end):
    """Whether each pixel of area[start:end] equals that of `old` or `new`."""
    part = area[start:end]
    if part == old[start:end] or part == new[start:end]:
        return True
    return all(area[at:at + 3] in (old[at:at + 3], new[at:at + 3]) for at in range(start, end, 3))


def weight(shown, picture):
    """The least-squares factor w with shown = w * picture."""
    return sum(a * b for a, b in zip(shown, picture)) / sum(b * b for b in picture)


def write_png(path, width, height, rgb):
    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body
                + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))
    rows = b"".join(b"\0" + rgb[y * width * 3:(y + 1) * width * 3] for y in range(height))
    png = (b"\x89PNG\r\n\x1a\n"
           + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
           + chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))
    with open(path, "wb") as f:
        f.write(png)


class WindowEvents:
    """A second client watching the root window: every window created, mapped
    or destroyed on the screen (SubstructureNotify), with its geometry."""

    CREATE, DESTROY, MAP = 16, 17, 19
    SUBSTRUCTURE_NOTIFY_MASK = 1 << 19

    def __init__(self, display):
        x = ctypes.CDLL("libX11.so.6")
        x.XOpenDisplay.restype = ctypes.c_void_p
        x.XOpenDisplay.argtypes = [ctypes.c_char_p]
        x.XDefaultRootWindow.restype = ctypes.c_ulong
        x.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
        x.XSelectInput.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_long]
        x.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
        x.XPending.argtypes = [ctypes.c_void_p]
        x.XNextEvent.argtypes = [ctypes.c_void_p, ctypes.c_void_p]
        x.XCloseDisplay.argtypes = [ctypes.c_void_p]
        self.x = x
        self.dpy = x.XOpenDisplay(display.encode())
        if not self.dpy:
            raise RuntimeError(f"cannot open display {display}")
        x.XSelectInput(self.dpy, x.XDefaultRootWindow(self.dpy), self.SUBSTRUCTURE_NOTIFY_MASK)
        x.XSync(self.dpy, 0)

    def take(self):
        """The events so far: dicts with 'type' and the window's details."""
        self.x.XSync(self.dpy, 0)
        events = []
        buffer = ctypes.create_string_buffer(192)  # sizeof(XEvent) on LP64
        while self.x.XPending(self.dpy):
            self.x.XNextEvent(self.dpy, buffer)
            raw = buffer.raw
            kind, = struct.unpack_from("<i", raw, 0)
            if kind == self.CREATE:
                window, x, y, width, height, border, redirect = struct.unpack_from("<Q6i", raw, 40)
                events.append(dict(type="create", window=window, x=x, y=y, width=width,
                                   height=height, border=border, override_redirect=redirect))
            elif kind == self.MAP:
                window, redirect = struct.unpack_from("<Qi", raw, 40)
                events.append(dict(type="map", window=window, override_redirect=redirect))
            elif kind == self.DESTROY:
                window, = struct.unpack_from("<Q", raw, 40)
                events.append(dict(type="destroy", window=window))
        return events

    def close(self):
        self.x.XCloseDisplay(self.dpy)
