"""crvw's two entries in the right-click menu of GNOME Files (Nautilus 43
and later), loaded by python3-nautilus from its system-wide folder:
"Normalise line endings (LF)" and "(CR LF)" for text files, as Dolphin's
service menu and Nemo's actions offer them.

The entries show when every selected item is a file of a text type
(text/plain or a type derived from it, as Nautilus compares types) with a
local path; crvw converts only such files. Choosing one runs crvw once per
selected file, one after the other, each asking before it converts.
"""
from gi.repository import GLib, GObject, Nautilus

# (name, line ends, crvw's option)
ENTRIES = (
    ("lf", "LF", "-d"),
    ("crlf", "CR LF", "-c"),
)

# The loop that starts the next crvw when the previous one has ended, so
# that the dialogs come one at a time; the names follow as arguments, as
# they are.
ONE_AFTER_ANOTHER = 'for f do crvw %s "$f"; done'


def local_text_path(info):
    """The file's local path when it is a text file crvw can take, else None."""
    if info.is_directory() or not info.is_mime_type("text/plain"):
        return None
    location = info.get_location()
    return location.get_path() if location is not None else None


def run_crvw(_item, option, paths):
    # GLib reaps the shell itself: Nautilus is not left with a zombie.
    GLib.spawn_async(["sh", "-c", ONE_AFTER_ANOTHER % option, "sh"] + paths,
                     flags=GLib.SpawnFlags.SEARCH_PATH)


class CrvwMenuProvider(GObject.GObject, Nautilus.MenuProvider):
    def get_file_items(self, files):
        paths = [local_text_path(info) for info in files]
        if not paths or None in paths:
            return []
        items = []
        for name, form, option in ENTRIES:
            item = Nautilus.MenuItem(
                name="CrvwMenuProvider::" + name, label=f"Normalise line endings ({form})",
                tip=f"Rewrite the line endings of the selected text files as {form}, after asking")
            item.connect("activate", run_crvw, option, paths)
            items.append(item)
        return items
