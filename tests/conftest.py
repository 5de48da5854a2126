"""Shared pytest configuration: fixtures of tests/support registered for every test."""

from support.service import *  # noqa: F401,F403  (reference_service, reference_service_factory)
