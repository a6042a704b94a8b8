"""What the harness's modules share: the test-only extension when it can be imported, and what
set_up makes before the first input for every input after it."""
try:
    import _veltrano_testing as testing
except ImportError:
    testing = None

POOLS = None  # fuzz_values.Pools: values made by one call, offered to the others
LOOP = None   # fuzz_bridge.RecordingLoop: the loop that the asynchronous scenarios run on
