import importlib
import subprocess
import sys
import textwrap

import pytest

import halvane


def test_underscore_names_are_the_companion_helpers_outside_all():
    # __all__'s names and order are checked against the committed stub; here,
    # that a helper for halvane_tools is not exported and nothing else hides.
    public = {name for name in vars(halvane) if not name.startswith("_")}
    assert public == set(halvane.__all__)
    assert {"_remove_extended_light", "_below_altitude_mask", "_glare_mask"} <= set(vars(halvane))


def test_docstring_exception_class_function_module_and_reimport():
    assert halvane.__doc__ == "" and halvane.julian_date.__module__ == "halvane"
    err = halvane.HalvaneError
    assert err.__mro__ == (err, Exception, BaseException, object)
    assert err.__module__ == "halvane" and err.__qualname__ == "HalvaneError"
    assert err.__doc__ == "Celestial navigation pipeline failure."
    e = err("no star pattern match found")
    assert str(e) == "no star pattern match found" and e.args == ("no star pattern match found",)
    # A reimport returns the cached module and exception class.
    assert importlib.reload(halvane) is halvane and halvane.HalvaneError is err


def test_second_interpreter_is_refused_without_crashing():
    interpreters = pytest.importorskip("_xxsubinterpreters")
    del interpreters
    code = textwrap.dedent(
        """
        import halvane
        import _xxsubinterpreters as interpreters
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, "import halvane")
        except Exception as e:
            print("refused", type(e).__name__, e)
        else:
            print("accepted")
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.startswith("refused"), out.stdout + out.stderr
    assert "ImportError" in out.stdout
