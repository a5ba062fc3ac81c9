"""Former home of the mosquitto launcher; it lives in `quenda_loomi.bus.mqtt.broker`."""

from quenda_loomi.bus.mqtt.broker import LocalBroker, MosquittoMissing, broker_environment, free_port, mosquitto_executable

__all__ = ["LocalBroker", "MosquittoMissing", "broker_environment", "free_port", "mosquitto_executable"]
