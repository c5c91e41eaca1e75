"""A systemd service unit's ExecStart as its manager would run it, for tests
on machines without one: the variables of Environment= and EnvironmentFile=
(later ones win), ${NAME} as one word and $NAME split at whitespace, as
systemd.service(5) says."""
import re
import shlex


def directives(text, name):
    return [line.split("=", 1)[1] for line in text.splitlines() if line.startswith(name + "=")]


def environment(text, root=""):
    """The unit's variables; `root` prefixes the environment files' paths."""
    variables = {}
    for line in directives(text, "Environment"):
        variables.update(word.split("=", 1) for word in shlex.split(line))
    for path in directives(text, "EnvironmentFile"):
        try:
            with open(root + path.lstrip("-")) as file:
                lines = file.read().splitlines()
        except FileNotFoundError:
            if path.startswith("-"):
                continue
            raise
        for line in lines:
            if line.strip() and not line.lstrip().startswith(("#", ";")):
                name, _, value = line.partition("=")
                variables[name.strip()] = " ".join(shlex.split(value))
    return variables


def command(text, root=""):
    """ExecStart's words, its variables substituted."""
    variables = environment(text, root)
    words = []
    for word in directives(text, "ExecStart")[0].split():
        whole = re.fullmatch(r"\$\{(\w+)\}", word)
        split = re.fullmatch(r"\$(\w+)", word)
        if whole:
            words.append(variables.get(whole.group(1), ""))
        elif split:
            words += variables.get(split.group(1), "").split()
        else:
            words.append(word)
    return words
