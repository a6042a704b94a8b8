"""What the module must answer to a call: binding and conversion outcomes, predicted from the
callable's parameters and the arguments given."""
from veltrano import AuthTag, DeriveKeyOptions, Key, Nonce, Salt

FAILED_NAME = "<failed to extract type name>"


class Expected:
    def __init__(self, error_type=None, message=None, slots=None, loose=None):
        self.error_type = error_type  # None: the call gets past binding and conversion
        self.message = message        # the exact message, when it is known
        self.loose = loose            # (prefix, suffix) of a message whose middle is not fixed
        self.slots = slots            # converted values, in parameter order


def name_list(names):
    quoted = [f"'{name}'" for name in names]
    if len(quoted) == 1:
        return quoted[0]
    if len(quoted) == 2:
        return f"{quoted[0]} and {quoted[1]}"
    return ", ".join(quoted[:-1]) + ", and " + quoted[-1]


def type_name(value):
    """The type name that conversion messages show, read the way the module reads it."""
    try:
        name = getattr(type(value), "__qualname__")
    except Exception:
        return FAILED_NAME
    if not isinstance(name, str):
        return FAILED_NAME
    try:
        str.encode(name, "utf-8")
    except UnicodeEncodeError:
        return FAILED_NAME
    return name


class Refusal:
    def __init__(self, error_type, message):
        self.error_type, self.message = error_type, message


CLASSES = {"Salt": Salt, "Nonce": Nonce, "AuthTag": AuthTag, "Key": Key,
           "DeriveKeyOptions": DeriveKeyOptions}


def convert(value, conversion, name):
    """The converted value, or a Refusal; no conversion (None) takes any object."""
    def refused(target):
        return Refusal(TypeError, f"argument '{name}': '{type_name(value)}' object cannot be converted to '{target}'")

    if conversion is None:
        return value
    if conversion == "bytes":
        return bytes(value) if isinstance(value, bytes) else refused("PyBytes")
    if conversion == "text":
        if not isinstance(value, str):
            return refused("PyString")
        try:
            return str.encode(value, "utf-8")
        except UnicodeEncodeError as error:
            return Refusal(UnicodeEncodeError, str(error))
    if conversion == "options":
        if value is None:
            return None
        conversion = "DeriveKeyOptions"
    return value if type(value) is CLASSES[conversion] else refused(conversion)


def predict(display, names, required, conversions, args, kwargs):
    """The binding and conversion outcome of a call, following the module's binding rules."""
    slots = [None] * len(names)
    filled = [False] * len(names)
    given = len(args)
    for index in range(min(given, len(names))):
        slots[index], filled[index] = args[index], True
    if given > len(names):
        verb = "was" if given == 1 else "were"
        if len(names) == required:
            return Expected(TypeError, f"{display} takes {len(names)} positional arguments but {given} {verb} given")
        return Expected(TypeError, f"{display} takes from {required} to {len(names)} positional "
                                   f"arguments but {given} {verb} given")
    for key, value in kwargs.items():
        try:
            encoded = str.encode(key, "utf-8")
        except UnicodeEncodeError:
            return Expected(TypeError, loose=(f"{display} got an unexpected keyword argument '", "'"))
        index = next((i for i, name in enumerate(names) if name.encode() == encoded), None)
        if index is None:
            return Expected(TypeError, f"{display} got an unexpected keyword argument '{str.__str__(key)}'")
        if filled[index]:
            return Expected(TypeError, f"{display} got multiple values for argument '{names[index]}'")
        slots[index], filled[index] = value, True
    missing = [names[i] for i in range(required) if not filled[i]]
    if given < required and missing:
        word = "argument" if len(missing) == 1 else "arguments"
        return Expected(TypeError, f"{display} missing {len(missing)} required positional {word}: "
                                   f"{name_list(missing)}")
    converted = []
    for index, conversion in enumerate(conversions):
        if not filled[index]:
            converted.append(None)
            continue
        outcome = convert(slots[index], conversion, names[index])
        if isinstance(outcome, Refusal):
            return Expected(outcome.error_type, outcome.message)
        converted.append(outcome)
    return Expected(slots=converted)

