"""Prints one optional-dependency group of pyproject.toml, one requirement per line."""

import sys
import tomllib

with open("pyproject.toml", "rb") as f:
    project = tomllib.load(f)["project"]
print("\n".join(project["optional-dependencies"][sys.argv[1]]))
