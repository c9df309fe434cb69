"""Four controls and decorators that robot navigation trees use, written the way a user of kelmora
writes node classes (docs/nodes.md describes each one and shows the same code):

    RecoveryNode      control, 2 children: the action, then the recovery it retries after
    PipelineSequence  control: re-ticks the earlier children while a later one runs
    RoundRobin        control: one child's turn per tick, in turn
    RateController    decorator: ticks its child at most `hz` times a second

Register them with register_node_class on a ThreadEngine, SequentialEngine or factory.
"""

import time

from kelmora.core import NodeStatus
from kelmora.nodes.control_node import ControlNode
from kelmora.nodes.decorator_node import DecoratorNode

RUNNING, SUCCESS, FAILURE, IDLE = (NodeStatus.RUNNING, NodeStatus.SUCCESS, NodeStatus.FAILURE,
                                   NodeStatus.IDLE)


def _port(name, description):
    return {"name": name, "type": "string", "direction": "input", "description": description}


class RecoveryNode(ControlNode):
    """Ticks the action (first child). When it fails, ticks the recovery (second child) and, once
    that succeeds, ticks the action again, at most `number_of_retries` times (default 1) per run.
    """
    ports = [_port("number_of_retries", "how often the action is retried (default 1)")]

    def __init__(self):
        self.retries = 0
        self.recovering = False

    def validate(self):
        if len(self.children) != 2:
            raise ValueError("needs exactly 2 children (the action and its recovery), has %d"
                             % len(self.children))

    def tick(self):
        action, recovery = self.children
        allowed = 1
        if self.isPortBound("number_of_retries"):
            allowed = int(self.getInputString("number_of_retries"))
        if allowed < 0:
            raise ValueError("number_of_retries must not be negative")
        while True:
            if not self.recovering:
                result = action.executeTick()
                if result is RUNNING:
                    return result
                if result is not FAILURE or self.retries >= allowed:
                    return self._finish(result)
                action.halt()
                self.recovering = True
            result = recovery.executeTick()
            if result is RUNNING:
                return result
            if result is FAILURE:
                return self._finish(result)
            recovery.halt()
            self.recovering = False
            self.retries += 1

    def halt(self):
        self._finish(IDLE)

    def _finish(self, result):
        """Ends the run (the engine halts the children): the next tick starts with the action."""
        self.retries = 0
        self.recovering = False
        return result


class PipelineSequence(ControlNode):
    """Ticks its children in order from the first; a child that is RUNNING stops the tick unless a
    later child has already been reached in this run (then the tick goes on past it). Fails as
    soon as any child fails; succeeds when the last child succeeds."""

    def __init__(self):
        self.furthest = 0  # the furthest child reached in this run

    def tick(self):
        for i, child in enumerate(self.children):
            result = child.executeTick()
            if result is FAILURE:
                self.furthest = 0
                return result
            if result is RUNNING and i >= self.furthest:
                self.furthest = i
                return result
        self.furthest = 0
        return SUCCESS

    def halt(self):
        self.furthest = 0


class RoundRobin(ControlNode):
    """Each tick, ticks the child whose turn it is. RUNNING keeps the turn; SUCCESS ends the tick
    with SUCCESS and passes the turn on; FAILURE (or SKIPPED) passes the turn on and ticks the
    next child at once, until every child has failed in a row: then FAILURE. A halt gives the turn
    back to the first child."""

    def __init__(self):
        self.turn = 0  # the child whose turn it is
        self.failures = 0  # children that failed in a row

    def tick(self):
        children = self.children
        while True:
            result = children[self.turn].executeTick()
            if result is RUNNING:
                return result
            self.turn = (self.turn + 1) % len(children)
            if result is SUCCESS:
                self.failures = 0
                return result
            self.failures += 1
            if self.failures == len(children):
                self.failures = 0
                return FAILURE

    def halt(self):
        self.turn = self.failures = 0


class RateController(DecoratorNode):
    """Ticks its child at most `hz` times a second (default 10). A tick ticks the child when the
    decorator is IDLE (its first tick of a run) or a period (1 / hz) has passed since it last
    ticked it; any other tick returns what the child returned last (RUNNING while it runs)."""
    ports = [_port("hz", "ticks of the child per second (default 10)")]
    clock = staticmethod(time.monotonic)  # tests replace it

    def __init__(self):
        self.last = 0.0
        self.result = IDLE

    def tick(self):
        hz = 10.0
        if self.isPortBound("hz"):
            text = self.getInputString("hz")
            try:
                hz = float(text)
            except ValueError:
                hz = 0.0
            if not hz > 0:
                raise ValueError("hz must be a positive number, not '%s'" % text)
        now = self.clock()
        if self.status is IDLE or now - self.last >= 1.0 / hz:
            self.last = now
            self.result = self.child.executeTick()
        return self.result
