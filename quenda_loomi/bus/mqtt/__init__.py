"""The MQTT transport of the bus (paho-mqtt) and the local mosquitto launcher."""

from quenda_loomi.bus.mqtt.broker import LocalBroker, MosquittoMissing, mosquitto_executable
from quenda_loomi.bus.mqtt.transport import MAX_LEVELS, MAX_TOPIC_BYTES, MqttTransport, mqtt_filter, publish_name

__all__ = ["MAX_LEVELS", "MAX_TOPIC_BYTES", "LocalBroker", "MosquittoMissing", "MqttTransport", "mosquitto_executable",
           "mqtt_filter", "publish_name"]
