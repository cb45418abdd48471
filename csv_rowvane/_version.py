"""The version of the distribution and of the front end: the build reads it
from here (pyproject.toml and CMakeLists.txt), the package imports it."""

__version__ = "0.3.0"
