"""Loads the extensions in FOLDER as GNOME Files (Nautilus 43) does through
python3-nautilus (Debian's Python, Nautilus 4.0 through GObject
introspection) and prints the name and label of each menu item they offer
for the files; --activate NAME chooses that item, as a click does.

    /usr/bin/python3 nautilus_menu.py FOLDER [--activate NAME] PATH...
"""
import argparse
import importlib
import os
import sys

import gi

gi.require_version("Nautilus", "4.0")
from gi.repository import Gio, GObject, Nautilus  # noqa: E402


class FileInfo(GObject.GObject, Nautilus.FileInfo):
    """A file as Nautilus shows it to extensions: its type as GIO finds it,
    which matches the types it derives from too."""

    def __init__(self, path):
        super().__init__()
        self.location = Gio.File.new_for_path(path)
        self.info = self.location.query_info("standard::*", Gio.FileQueryInfoFlags.NONE, None)

    def do_get_location(self):
        return self.location

    def do_is_mime_type(self, mime_type):
        return Gio.content_type_is_a(self.info.get_content_type(), mime_type)

    def do_is_directory(self):
        return self.info.get_file_type() == Gio.FileType.DIRECTORY


parser = argparse.ArgumentParser()
parser.add_argument("folder")
parser.add_argument("--activate")
parser.add_argument("paths", nargs="*")
args = parser.parse_intermixed_args()
sys.path.insert(0, args.folder)
sys.dont_write_bytecode = True  # nothing left beside the extensions
for name in sorted(n[:-3] for n in os.listdir(args.folder) if n.endswith(".py")):
    for value in vars(importlib.import_module(name)).values():
        if isinstance(value, type) and issubclass(value, Nautilus.MenuProvider):
            for item in value().get_file_items([FileInfo(p) for p in args.paths]):
                print(item.props.name, item.props.label, sep="\t")
                if item.props.name == args.activate:
                    item.activate()
