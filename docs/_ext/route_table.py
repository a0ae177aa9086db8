"""The `seqtally-routes` directive: every route of the service, made from
the OpenAPI document the service itself serves at /openapi.json, so that
the site lists what is served and nothing else: per route its method and
path, what it answers, its parameters and every status it may give."""
from __future__ import annotations

from typing import Any

from docutils import nodes
from sphinx.application import Sphinx
from sphinx.util.docutils import SphinxDirective


def routes() -> list[tuple[str, str, dict[str, Any]]]:
    """(method, path, operation) of every route, in the service's order."""
    from seqtally_tools.service import openapi_document

    return [(method.upper(), path, operation)
            for path, operations in openapi_document()["paths"].items()
            for method, operation in operations.items()]


def _bullets(lines: list[tuple[str, str]]) -> nodes.bullet_list:
    listed = nodes.bullet_list()
    for code, text in lines:
        paragraph = nodes.paragraph()
        paragraph += nodes.literal(text=code)
        if text:
            paragraph += nodes.Text(": " + text)
        listed += nodes.list_item("", paragraph)
    return listed


class RouteTable(SphinxDirective):
    has_content = False

    def run(self) -> list[nodes.Node]:
        listed = nodes.definition_list()
        for method, path, operation in routes():
            item = nodes.definition_list_item()
            item += nodes.term("", "", nodes.literal(text=f"{method} {path}"))
            definition = nodes.definition()
            definition += nodes.paragraph(text=operation["summary"])
            parameters = [(f"{p['name']} ({p['in']})", p.get("description", ""))
                          for p in operation.get("parameters", []) if p["in"] != "path"]
            if parameters:
                definition += _bullets(parameters)
            definition += _bullets([(status, answer["description"])
                                    for status, answer in operation["responses"].items()])
            item += definition
            listed += item
        return [listed]


def setup(app: Sphinx) -> dict[str, object]:
    app.add_directive("seqtally-routes", RouteTable)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
